#pragma once
// What the notification service counts, per target and for its outbox;
// written by its threads, read by the stats line and the metrics.

#include <array>
#include <atomic>
#include <cstdint>

#include "tools/smdgw/notify/notify_config.h"
#include "tools/smdgw/outbox/delivery.h"
#include "tools/smdgw/outbox/outbox_counters.h"

namespace smdgw::notify {

// Sent, failed, refused for good, waiting and failing: counted by the
// outbox's delivery loop.
struct TargetCounters : DeliveryCounters {
    std::atomic<uint64_t> queued{0};  // messages made for it and handed to the outbox
};

struct NotifyCounters {
    std::array<TargetCounters, kMaxTargets> targets;
    OutboxCounters outbox;
    std::atomic<uint64_t> events{0};  // alarm changes routed to at least one target
    std::atomic<uint64_t> last_sequence{0};  // the last notification number taken
    // Notifications not made because their number could not be stored.
    std::atomic<uint64_t> unnumbered{0};
};

}  // namespace smdgw::notify
