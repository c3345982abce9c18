#pragma once
// A message on its way through a durable outbox: made on the service's own
// thread, stored by the outbox writer, handed back to the sender until it is
// acknowledged. The outbox knows nothing of what the bytes mean.

#include <cstddef>
#include <cstdint>
#include <string>

namespace smdgw {

// An outbox tells at most this many kinds of message apart.
constexpr size_t kMaxOutboxKinds = 8;

// No sequence number goes into the payload.
constexpr size_t kNoSequence = static_cast<size_t>(-1);

struct OutgoingMessage {
    // Sequence numbers run per stream, 1, 2, 3 ... without a gap, and are
    // given when the message is stored: a message that never reaches the
    // disk takes no number.
    std::string stream;
    std::string target;  // where it goes: a topic, an address
    std::string payload;
    // Byte offset in the payload where the decimal sequence number is put
    // when the message is stored; kNoSequence: nowhere.
    size_t seq_at = kNoSequence;
    uint8_t kind = 0;    // index into the outbox's kinds: its drop order and its count
    uint32_t flags = 0;  // the sender's own bits, kept with the message
    int64_t created_ms = 0;

    // What it costs in the outbox: target and payload.
    size_t bytes() const { return target.size() + payload.size(); }
    // What it costs waiting in memory, its strings and their bookkeeping.
    size_t memory_bytes() const { return stream.size() + target.size() + payload.size() + 96; }
};

// A stored message, ready for the sender.
struct StoredMessage {
    int64_t id = 0;
    std::string target;
    std::string payload;
    uint32_t flags = 0;
    int64_t created_ms = 0;
};

}  // namespace smdgw
