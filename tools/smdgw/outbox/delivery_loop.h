#pragma once
// The sender of a delivering service, on a thread of its own: it reads the
// outbox oldest first and hands each message to the service's backend, per
// target in order, so that a target that fails holds back only its own later
// messages. A target that fails is tried again on the shared retry schedule
// (exponential steps with jitter); its failures are said once, then at most
// once a minute, then once when it works again. A message refused for good
// leaves the outbox at once, counted and said with the answer. Messages the
// outbox had to drop are said as they grow, at most once a minute.
//
// stop() delivers on while receivers take what is left, up to its drain
// deadline; then every transfer is cut short, and the thread is waited for
// only a little longer.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
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
};

class DeliveryLoop {
   public:
    using SteadyClock = std::chrono::steady_clock;

    DeliveryLoop(OutboxStore& store, OutboxWriter& writer, OutboxCounters& outbox_counters,
                 DeliveryBackend& backend, DeliveryLoopOptions options);
    // stop() at once, if not done yet.
    ~DeliveryLoop();
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
    void run();
    // One pass over the outbox; true when something was delivered.
    bool pass(double& next_retry_s);
    void report_drops();

    OutboxStore& store_;
    OutboxWriter& writer_;
    OutboxCounters& outbox_counters_;
    DeliveryBackend& backend_;
    const DeliveryLoopOptions options_;

    // The thread's own.
    struct TargetState {
        RetryBackoff backoff{RetryPolicy{2.0, 10.0, true, 1.0, 60.0, 0.0}};
        double retry_at_s = 0.0;
        double failing_since_s = 0.0;
        bool failing = false;
        LogLimiter log{60.0};
        LogLimiter refused_log{60.0};
    };
    std::vector<TargetState> targets_;
    uint64_t drops_said_ = 0;
    LogLimiter drop_log_{60.0};

    std::atomic<bool> stop_{false};
    std::atomic<bool> abort_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable finished_cv_;
    bool woken_ = false;  // a message was made since the loop last looked
    bool finished_ = false;
    bool stopped_ = false;
    bool joined_ = false;
    std::thread thread_;
};

}  // namespace smdgw
