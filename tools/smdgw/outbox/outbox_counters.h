#pragma once
// What an outbox writer counts, written by its thread and read by the stats
// line and the metrics of the service that owns it.

#include <array>
#include <atomic>
#include <cstdint>

#include "tools/smdgw/outbox/outbox_message.h"

namespace smdgw {

struct OutboxCounters {
    std::atomic<uint64_t> committed{0};        // messages stored in the outbox
    std::atomic<uint64_t> committed_bytes{0};  // their target and payload bytes
    std::atomic<uint64_t> errors{0};           // writes to the outbox that failed
    std::atomic<bool> failing{false};          // the last write failed
    std::atomic<uint64_t> unstored{0};         // let go before they were stored, this run
    std::atomic<uint64_t> backlog_messages{0};  // waiting in memory to be stored
    std::atomic<uint64_t> backlog_bytes{0};
    // Dropped before storage and not yet counted in the outbox file, by kind.
    std::array<std::atomic<uint64_t>, kMaxOutboxKinds> uncounted{};
    // The highest drop counts said so far (see dropped_so_far).
    mutable std::array<std::atomic<uint64_t>, kMaxOutboxKinds> dropped_said{};
};

class OutboxStore;

// Messages of a kind dropped over the outbox's life: those counted in its
// file and those still waiting to be counted. Never less than said before:
// while the writer moves a count into the file it is briefly in neither.
uint64_t dropped_so_far(const OutboxStore& store, const OutboxCounters& counters, size_t kind);

}  // namespace smdgw
