#pragma once
// What an outbox could not keep, by kind: how many, and the span of time the
// lost messages were made in, so that a notice can say "471 records from
// 10:02 to 10:46" instead of only a number.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace smdgw {

struct DropCount {
    uint64_t count = 0;
    int64_t first_ms = 0;  // made at, the earliest and the latest
    int64_t last_ms = 0;

    void add(const DropCount& other) {
        if (other.count == 0) return;
        first_ms = count == 0 ? other.first_ms : std::min(first_ms, other.first_ms);
        last_ms = count == 0 ? other.last_ms : std::max(last_ms, other.last_ms);
        count += other.count;
    }
    void add(int64_t made_ms, uint64_t n = 1) { add(DropCount{n, made_ms, made_ms}); }
};

// One count per kind of the outbox, in its kinds' order.
using DropTally = std::vector<DropCount>;

inline uint64_t total_count(const DropTally& t) {
    uint64_t n = 0;
    for (const DropCount& d : t) n += d.count;
    return n;
}

// A kind's drops not yet announced, for the notice.
struct KindDrops {
    std::string kind;
    DropCount drops;
};

}  // namespace smdgw
