#pragma once
// Alarm notifications put together: the events from the fan-out, routed to
// their targets and grouped into bursts on one thread, each message numbered
// (the gateway's notification sequence, stored first) and stored in the
// durable outbox before anything is sent; a sender thread delivers them per
// target, oldest first, and a message leaves the outbox only when its
// receiver took it. A target that fails is tried again on the shared retry
// schedule without holding up the others; its failures are logged once, then
// at most once a minute, then once when it works again.

#include <json/value.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/host_sink.h"
#include "tools/smdgw/core/log_limiter.h"
#include "tools/smdgw/core/notification_sequence.h"
#include "tools/smdgw/core/retry_backoff.h"
#include "tools/smdgw/notify/burst_grouper.h"
#include "tools/smdgw/notify/curl_transfer.h"
#include "tools/smdgw/notify/notify_config.h"
#include "tools/smdgw/notify/notify_counters.h"
#include "tools/smdgw/notify/notify_events.h"
#include "tools/smdgw/notify/notify_message.h"
#include "tools/smdgw/notify/notify_options.h"
#include "tools/smdgw/outbox/outbox_store.h"
#include "tools/smdgw/outbox/outbox_writer.h"

namespace smdgw::notify {

// The outbox and the sequence of the notifications, opened before the run.
struct NotifyStorage {
    std::unique_ptr<OutboxStore> outbox;
    std::unique_ptr<NotificationSequence> sequence;
};

// Sends one stored message to its target now (the sender, --test-notify).
DeliveryResult deliver(const NotifyTarget& target, const std::string& payload,
                       const std::atomic<bool>* abort);

class NotifyService {
   public:
    // At a stop, delivering goes on this long while receivers take it.
    static constexpr double kDrainSeconds = 3.0;

    // Opens the outbox (tables notify_*, one kind per target) and the
    // sequence (channel "notify") in o.outbox_path; throws OutboxError or
    // SequenceError naming the file.
    static NotifyStorage open_storage(const NotifyOptions& o, const NotifyConfig& cfg);

    // now_ms: the gateway's clock; mono_s: the host's monotonic seconds
    // (scaled like its timers) for the bursts.
    NotifyService(const NotifyOptions& o, NotifyConfig cfg, NotifyStorage storage,
                  std::function<int64_t()> now_ms,
                  std::function<double()> mono_s);
    ~NotifyService();
    NotifyService(const NotifyService&) = delete;
    NotifyService& operator=(const NotifyService&) = delete;

    HostSink& sink() { return events_; }
    // Groups and stores what came, delivers for up to kDrainSeconds, says
    // what is left (it goes at the next start).
    void stop();

    Json::Value stats_line() const;
    std::string prometheus_text() const;

   private:
    void group_loop();
    void make_message(const Burst& burst);
    void send_loop();
    // One pass over the outbox; true when something was delivered.
    bool send_pass(double& next_retry_s);
    void report_drops();
    double real_s() const;

    const NotifyOptions options_;
    const NotifyConfig cfg_;
    NotifyStorage storage_;
    const std::function<int64_t()> now_ms_;
    const std::function<double()> mono_s_;
    NotifyCounters counters_;
    NotifyEvents events_;
    std::unique_ptr<OutboxWriter> writer_;

    // The grouping thread's own.
    BurstGrouper grouper_;
    LogLimiter sequence_log_{60.0};

    // The sender thread's own.
    struct TargetState {
        RetryBackoff backoff{RetryPolicy{2.0, 10.0, true, 1.0, 60.0, 0.0}};
        double retry_at_s = 0.0;
        double failing_since_s = 0.0;
        bool failing = false;
        LogLimiter log{60.0};
    };
    std::vector<TargetState> targets_;
    uint64_t drops_said_ = 0;
    LogLimiter drop_log_{60.0};

    std::atomic<bool> stop_grouping_{false};
    std::atomic<bool> stop_sending_{false};
    std::atomic<bool> abort_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool woken_ = false;  // a message was made since the sender last looked
    bool stopped_ = false;
    std::thread grouping_;
    std::thread sending_;
};

}  // namespace smdgw::notify
