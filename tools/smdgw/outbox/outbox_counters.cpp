#include "tools/smdgw/outbox/outbox_counters.h"

#include <algorithm>

#include "tools/smdgw/outbox/outbox_store.h"

namespace smdgw {

uint64_t dropped_so_far(const OutboxStore& store, const OutboxCounters& counters, size_t kind) {
    if (kind >= kMaxOutboxKinds) return 0;
    const uint64_t now = store.dropped(kind) + counters.uncounted[kind].load();
    std::atomic<uint64_t>& said = counters.dropped_said[kind];
    uint64_t before = said.load();
    while (now > before && !said.compare_exchange_weak(before, now)) {
    }
    return std::max(before, now);
}

}  // namespace smdgw
