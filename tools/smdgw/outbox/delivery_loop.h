#pragma once
// The sender of a delivering service, on a thread of its own: it reads the
// outbox oldest first and hands each message to the service's backend, per
// target in order, so that a target that fails holds back only its own later
// messages. A backend with a window (MQTT's QoS 1) gets up to that many of a
// target's messages before their answers come, filled again once a quarter
// of it was answered (the outbox read for many at a time); a message leaves
// the outbox only with its own answer. When one fails, the target's later
// messages in flight are let run out, and the target is sent again from the
// failed one, alone until it goes through.
//
// A target that fails is tried again on the shared retry schedule
// (exponential steps with jitter), or at once when the backend says it is
// back; its failures are said once, then at most once a minute, then once
// when it works again (unless the backend says its outages itself, with a
// connection's detail). A message refused for good leaves the outbox at
// once, counted and said with the answer. Messages the outbox had to drop
// are said as they grow, at most once a minute.
//
// stop() delivers on while receivers take what is left, up to its drain
// deadline; then every transfer is cut short, and the thread is waited for
// only a little longer. An answer that comes after that (an acknowledgement
// during a connection's goodbye) still lets its message go.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/smdgw/core/log_limiter.h"
#include "tools/smdgw/core/retry_backoff.h"
#include "tools/smdgw/outbox/delivery.h"
#include "tools/smdgw/outbox/outbox_counters.h"
#include "tools/smdgw/outbox/outbox_store.h"
#include "tools/smdgw/outbox/outbox_writer.h"

namespace smdgw {

struct DeliveryLoopOptions {
    std::string log_name;  // the start of every log line: "notify"
    std::string noun;      // what a message is called: "notification"
    // The targets' names, in the order of the outbox's kinds.
    std::vector<std::string> targets;
    // Each target's counters.
    std::function<DeliveryCounters&(size_t)> counters;
    // Messages lost before the outbox, besides those the outbox counts.
    std::function<uint64_t()> lost_before;
    // The target of a stored message; none given: the one its target names.
    // A number beyond the targets: a target the configuration no longer has.
    std::function<size_t(const StoredMessage&)> target_of;
    // The backend says its targets' outages itself (MQTT: the connection's
    // reason, attempts and backlog): the loop keeps still about failures.
    bool backend_says_outages = false;
    // Whether each pass reads the whole outbox to count what waits per target
    // (`waiting`); without, it stops reading once no target takes more, so
    // that a large backlog behind a window is not read again and again.
    bool count_waiting = true;
};

class DeliveryLoop : private DeliveryCompletion {
   public:
    using SteadyClock = std::chrono::steady_clock;

    DeliveryLoop(OutboxStore& store, OutboxWriter& writer, OutboxCounters& outbox_counters,
                 DeliveryBackend& backend, DeliveryLoopOptions options);
    // stop() at once, if not done yet.
    ~DeliveryLoop() override;
    DeliveryLoop(const DeliveryLoop&) = delete;
    DeliveryLoop& operator=(const DeliveryLoop&) = delete;

    // A message was handed to the writer: look soon.
    void wake();
    // Delivers on until nothing is left or `drain_until`, then cuts every
    // transfer short. False when the thread did not end soon after (a
    // transfer that ignores its abort): it is left to run, and the store,
    // the writer and the backend must outlive it.
    bool stop(SteadyClock::time_point drain_until);

   private:
    struct Answer {
        size_t target;
        int64_t id;
        DeliveryAnswer answer;
    };

    // DeliveryCompletion, from any thread.
    void completed(size_t target, std::vector<DeliveryResult> results) override;
    void ready(size_t target) override;

    void run();
    // One pass over the outbox; true when something was delivered.
    bool pass(double& next_retry_s);
    // Whether a target takes a message now, with fewer than `up_to` in flight.
    bool takes(size_t t, double now, size_t up_to) const;
    // The answers that came; true when one was a delivery.
    bool settle_answers();
    // One answer; what leaves the outbox goes with the next flush_acks().
    bool settle(const Answer& a);
    void flush_acks();
    void failed(size_t t, const DeliveryAnswer& a, double now);
    void report_drops();

    OutboxStore& store_;
    OutboxWriter& writer_;
    OutboxCounters& outbox_counters_;
    DeliveryBackend& backend_;
    const DeliveryLoopOptions options_;
    const size_t window_;

    // The thread's own (after it ended: under mutex_).
    struct TargetState {
        RetryBackoff backoff{RetryPolicy{2.0, 10.0, true, 1.0, 60.0, 0.0}};
        double retry_at_s = 0.0;
        double failing_since_s = 0.0;
        bool failing = false;
        // Its messages up to this id are in flight or answered.
        int64_t resume = 0;
        // In flight: id -> the failure round it was handed in. A failure
        // starts a round; the answers of an earlier round are its tail.
        std::map<int64_t, unsigned> in_flight;
        unsigned round = 0;
        LogLimiter log{60.0};
        LogLimiter refused_log{60.0};
    };
    std::vector<TargetState> targets_;
    // During a pass: what waits per target, and how far it read.
    std::vector<uint64_t> waiting_;
    int64_t read_to_ = -1;
    std::vector<int64_t> acks_;  // answered, for the writer to delete
    uint64_t drops_said_ = 0;
    LogLimiter drop_log_{60.0};
    LogLimiter read_log_{60.0};

    std::atomic<bool> stop_{false};
    std::atomic<bool> abort_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable finished_cv_;
    std::vector<Answer> answers_;      // came, not yet settled
    std::vector<size_t> ready_;        // targets back, not yet seen
    bool woken_ = false;  // a message was made, or the stop, since the loop last looked
    bool finished_ = false;
    bool stopped_ = false;
    bool joined_ = false;
    std::thread thread_;
};

}  // namespace smdgw
