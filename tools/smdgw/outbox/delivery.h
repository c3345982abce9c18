#pragma once
// What a delivering service tells the outbox about one message it tried to
// deliver: taken, to be tried again later, or refused for good (an answer
// that sending it again would only repeat, such as an HTTP 400). A message
// refused for good leaves the outbox at once, so that it never holds back
// the later messages of its target.
//
// A backend answers one message at a time (deliver(), window 1: a mail, a
// webhook, a trap), or keeps a window of messages in flight on one
// connection (MQTT's QoS 1: a round trip per message would make a backlog
// drain far slower). Such a backend takes each message with submit(),
// returns at once, and answers later through the DeliveryCompletion, once
// for every message it took.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/smdgw/outbox/outbox_message.h"

namespace smdgw {

enum class DeliveryOutcome { Delivered, RetryLater, RefusedForGood };

struct DeliveryAnswer {
    DeliveryOutcome outcome = DeliveryOutcome::RetryLater;
    std::string text;  // "HTTP 200", "connection refused (...)": for the log
};

struct DeliveryResult {
    int64_t id;
    DeliveryAnswer answer;
};

// Where a backend with a window answers; any thread may call it.
class DeliveryCompletion {
   public:
    virtual ~DeliveryCompletion() = default;
    // The answers for messages of `target` taken by submit(). Those that come
    // together should be given together: they leave the outbox in one
    // transaction.
    virtual void completed(size_t target, std::vector<DeliveryResult> results) = 0;
    void completed(size_t target, int64_t id, DeliveryAnswer answer) {
        completed(target, std::vector<DeliveryResult>{{id, std::move(answer)}});
    }
    // The target takes messages again (its connection is back): a target
    // held back is tried at once instead of at the end of its wait.
    virtual void ready(size_t target) = 0;
};

// Delivers stored messages to the target of their kind; `abort`, once set,
// ends a transfer at once (the service stops).
class DeliveryBackend {
   public:
    virtual ~DeliveryBackend() = default;
    // Messages of one target in flight at once.
    virtual size_t window() const { return 1; }
    // Delivers one message and answers.
    virtual DeliveryAnswer deliver(size_t target, const StoredMessage& m,
                                   const std::atomic<bool>& abort) = 0;
    // Takes one message and answers through `done`, now or later. The loop
    // hands a target's messages oldest first and never one still in flight.
    virtual void submit(size_t target, const StoredMessage& m, const std::atomic<bool>& abort,
                        DeliveryCompletion& done) {
        done.completed(target, m.id, deliver(target, m, abort));
    }
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
