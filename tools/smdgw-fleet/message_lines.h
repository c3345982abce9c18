#pragma once
// A gateway's message as Influx line protocol, once. Every line carries the
// tag `gateway`; every timestamp is the message's own "time" (liveness lines:
// the collector's clock).
//
//   record   veltra_round (complete, frame_errors, unanswered_commands,
//            <section>_fresh, pub_seq) and, for the sections the round
//            refreshed only, the measurements of `smdgw --format influx`
//            (veltra_system, veltra_ac, veltra_ac_input, veltra_rectifier,
//            veltra_dc), from the full or the compact payload; with a
//            battery estimate smdgw_battery (state, charge_ratio,
//            runtime_seconds, ...: the gateway's Prometheus names)
//   alarm    veltra_alarm{alarm_id,key,seq}: active, level
//   alarms   veltra_alarms_active: count; smdgw_alarm{site,device,alarm_id,
//            level}: active 1 for each listed alarm, 0 once for one that left
//   state    veltra_state{state}: live
//   status   smdgw_gateway: up (1 online, 0 offline or the last will)
//   dropped  smdgw_dropped{kind}: count, total
// and, from tick(), smdgw_gateway: up, last_seen (seconds since the epoch) for
// every gateway heard of, and the listed alarms again, so that a query's
// look-back always finds them.

#include <cstdint>
#include <string>

#include "tools/smdgw-fleet/message_ledger.h"
#include "tools/smdgw-fleet/topic_route.h"

namespace smdgw {

enum class Taken { Written, Repeat, Unreadable, NotOurs };

class MessageLines {
   public:
    MessageLines(std::string prefix, bool sharded, int64_t silent_after_ms)
        : prefix_(std::move(prefix)), sharded_(sharded), silent_after_ms_(silent_after_ms) {}

    // Appends the message's lines to `out`; `why` says what was unreadable.
    Taken take(const std::string& topic, const std::string& payload, int64_t now_ms,
               std::string& out, std::string& why);
    // Liveness and the listed alarms of every gateway, stamped now.
    void tick(int64_t now_ms, std::string& out);

    const MessageLedger& ledger() const { return ledger_; }
    MessageLedger& ledger() { return ledger_; }
    // Gateways up: heard of within the silence bound and not offline.
    size_t gateways_up(int64_t now_ms) const;
    // Age of the newest message's "time" at arrival, in ms (the lag).
    int64_t last_lag_ms() const { return last_lag_ms_; }

   private:
    bool up(const GatewayTally& g, int64_t now_ms) const;

    const std::string prefix_;
    const bool sharded_;
    const int64_t silent_after_ms_;
    MessageLedger ledger_;
    int64_t last_lag_ms_ = 0;
};

}  // namespace smdgw
