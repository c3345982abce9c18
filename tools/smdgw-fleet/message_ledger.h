#pragma once
// What the collector knows of each gateway: the messages it already wrote,
// the numbers it missed, the drop notices, when it last heard of it, its
// status and its devices' active alarms.
//
// A gateway numbers its messages per device and kind ("pub_seq": 1, 2, 3 ...
// with no gap, across restarts); "boot_id" changes at each start. Delivery is
// at least once, so a message may come twice: (gateway, stream, boot_id,
// pub_seq) names it. Per stream the ledger keeps the highest number seen for
// each of the last few boots: a number at or below it is a repeat. A number
// more than one above the stream's last is a gap (messages the gateway
// dropped at its bound, or lost on the way). A new boot whose numbers start
// lower (the gateway's outbox was replaced) begins the stream again.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace smdgw {

// Where a numbered message stands.
enum class Arrival { New, Repeat };

struct GatewayTally {
    uint64_t messages = 0;
    uint64_t duplicates = 0;
    uint64_t gaps = 0;           // numbers missed
    uint64_t restarts = 0;       // streams begun again by a new boot
    uint64_t dropped_notices = 0;
    uint64_t dropped_messages = 0;  // as the notices count them
    int64_t last_seen_ms = 0;
    bool online = false;         // its last status
    bool status_known = false;
};

// An active alarm as written: the series keeps its labels until it clears.
struct ListedAlarm {
    std::string device, alarm_id, level;
};

class MessageLedger {
   public:
    // Remembers at most this many boots per stream.
    static constexpr size_t kBootsKept = 4;

    // Takes a numbered message; gaps are counted on the gateway's tally.
    Arrival take(const std::string& gateway, const std::string& stream,
                 const std::string& boot_id, uint64_t pub_seq, int64_t now_ms);
    // An unnumbered message (a status) or a notice: the gateway was heard of.
    void seen(const std::string& gateway, int64_t now_ms);
    void set_status(const std::string& gateway, bool online, int64_t now_ms);
    void add_dropped(const std::string& gateway, uint64_t messages);
    // A device's alarm list replaced; returns the alarms that left it.
    std::vector<ListedAlarm> set_alarms(const std::string& gateway, const std::string& device,
                                        std::vector<ListedAlarm> active);

    const std::map<std::string, GatewayTally>& gateways() const { return gateways_; }
    // Every listed alarm of a gateway.
    std::vector<ListedAlarm> alarms(const std::string& gateway) const;

    uint64_t duplicates() const { return duplicates_; }

    // What it must remember across a restart of the collector, so that a
    // message the broker hands over again (its acknowledgement lost in the
    // stop) is still a repeat: one line per stream and boot,
    // "<gateway>\t<stream>\t<boot_id>\t<highest>\t<last>". Names holding a tab or a
    // line break are not kept.
    std::string save() const;
    // Reads save()'s text; returns the lines it could not read.
    size_t load(const std::string& text);
    uint64_t gaps() const { return gaps_; }

   private:
    struct Stream {
        uint64_t last = 0;
        std::vector<std::pair<std::string, uint64_t>> boots;  // boot_id, highest, newest last
    };
    std::map<std::string, GatewayTally> gateways_;
    std::map<std::string, Stream> streams_;  // gateway '\n' stream
    std::map<std::string, std::map<std::string, std::vector<ListedAlarm>>> alarms_;
    uint64_t duplicates_ = 0;
    uint64_t gaps_ = 0;
};

}  // namespace smdgw
