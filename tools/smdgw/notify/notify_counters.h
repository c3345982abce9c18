#pragma once
// What the notification service counts, per target and for its outbox;
// written by its threads, read by the stats line and the metrics.

#include <array>
#include <atomic>
#include <cstdint>

#include "tools/smdgw/notify/notify_config.h"
#include "tools/smdgw/outbox/outbox_counters.h"

namespace smdgw::notify {

struct TargetCounters {
    std::atomic<uint64_t> queued{0};   // messages made for it and handed to the outbox
    std::atomic<uint64_t> sent{0};     // delivered (2xx, or the mail server took it)
    std::atomic<uint64_t> failed{0};   // attempts that failed (each is tried again)
    std::atomic<uint64_t> waiting{0};  // in the outbox, as last seen by the sender
    std::atomic<bool> failing{false};  // its last attempt failed
};

struct NotifyCounters {
    std::array<TargetCounters, kMaxTargets> targets;
    OutboxCounters outbox;
    std::atomic<uint64_t> events{0};  // alarm changes routed to at least one target
    std::atomic<uint64_t> last_sequence{0};  // the last notification number taken
};

}  // namespace smdgw::notify
