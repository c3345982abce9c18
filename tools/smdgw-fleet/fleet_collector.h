#pragma once
// The collector's state, shared by the broker's thread (messages), the main
// thread (the liveness tick) and the HTTP thread (/metrics): the messages
// turned into lines, the buffer they wait in, and every counter.

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "tools/smdgw-fleet/line_buffer.h"
#include "tools/smdgw-fleet/message_lines.h"
#include "tools/smdgw/core/log_limiter.h"

namespace smdgw {

// Upper bounds of the lag histogram, in seconds.
constexpr std::array<double, 9> kLagBuckets = {0.1, 0.25, 0.5, 1, 2, 5, 10, 30, 60};

struct CollectorFigures {
    uint64_t written = 0, duplicates = 0, unreadable = 0, not_ours = 0;
    uint64_t gaps = 0, restarts = 0, dropped_notices = 0, dropped_messages = 0;
    uint64_t buffer_dropped_lines = 0;
    size_t gateways = 0, gateways_up = 0;
    double lag_s = 0;
    std::array<uint64_t, kLagBuckets.size() + 1> lag_counts{};  // the last: +Inf
    double lag_sum_s = 0;
};

class FleetCollector {
   public:
    FleetCollector(const std::string& prefix, bool sharded, double silent_after_s,
                   LineBuffer& buffer);
    void take(const std::string& topic, const std::string& payload);
    void tick();
    CollectorFigures figures() const;
    // The ledger kept across restarts (MessageLedger::save, load).
    std::string save_state() const;
    size_t load_state(const std::string& text);

   private:
    // Hands out_ to the buffer; says what the bound dropped.
    void add_lines();

    LineBuffer& buffer_;
    mutable std::mutex mutex_;
    MessageLines lines_;
    CollectorFigures f_;
    LogLimiter unreadable_log_{60.0};
    LogLimiter drop_log_{60.0};
    std::string out_;
};

int64_t wall_ms();

}  // namespace smdgw
