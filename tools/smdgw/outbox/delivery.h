#pragma once
// What a delivering service tells the outbox about one message it tried to
// deliver: taken, to be tried again later, or refused for good (an answer
// that sending it again would only repeat, such as an HTTP 400). A message
// refused for good leaves the outbox at once, so that it never holds back
// the later messages of its target.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/smdgw/outbox/outbox_message.h"

namespace smdgw {

enum class DeliveryOutcome { Delivered, RetryLater, RefusedForGood };

struct DeliveryAnswer {
    DeliveryOutcome outcome = DeliveryOutcome::RetryLater;
    std::string text;  // "HTTP 200", "connection refused (...)": for the log
};

// Delivers one stored message to the target of its kind; `abort`, once set,
// ends a transfer at once (the service stops).
class DeliveryBackend {
   public:
    virtual ~DeliveryBackend() = default;
    virtual DeliveryAnswer deliver(size_t target, const StoredMessage& m,
                                   const std::atomic<bool>& abort) = 0;
};

// What the delivery loop counts per target, for the stats line and metrics.
struct DeliveryCounters {
    std::atomic<uint64_t> sent{0};     // delivered
    std::atomic<uint64_t> failed{0};   // attempts that failed (each is tried again)
    std::atomic<uint64_t> refused{0};  // refused for good: dropped at once
    std::atomic<uint64_t> waiting{0};  // in the outbox, as last seen by the loop
    std::atomic<bool> failing{false};  // its last attempt failed
};

}  // namespace smdgw
