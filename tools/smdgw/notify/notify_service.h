#pragma once
// Alarm notifications put together: the events from the fan-out, routed to
// their targets and grouped into bursts on one thread, each message numbered
// (the gateway's notification sequence, stored first) and stored in the
// durable outbox before anything is sent; the outbox's delivery loop
// (outbox/delivery_loop.h) delivers them per target, oldest first, and a
// message leaves the outbox when its receiver took it or refused it for good.

#include <json/value.h>

#include <atomic>
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
#include "tools/smdgw/core/service.h"
#include "tools/smdgw/notify/burst_grouper.h"
#include "tools/smdgw/notify/curl_transfer.h"
#include "tools/smdgw/notify/notify_config.h"
#include "tools/smdgw/notify/notify_counters.h"
#include "tools/smdgw/notify/notify_events.h"
#include "tools/smdgw/notify/notify_message.h"
#include "tools/smdgw/notify/notify_options.h"
#include "tools/smdgw/outbox/delivery_loop.h"
#include "tools/smdgw/outbox/outbox_store.h"
#include "tools/smdgw/outbox/outbox_writer.h"

namespace smdgw::notify {

// The outbox and the sequence of the notifications, opened before the run.
struct NotifyStorage {
    std::unique_ptr<OutboxStore> outbox;
    std::unique_ptr<NotificationSequence> sequence;
};

// Sends one stored message to its target now (the sender, --test-notify).
DeliveryAnswer deliver(const NotifyTarget& target, const std::string& payload,
                       const std::atomic<bool>* abort);

class NotifyService : public Service {
   public:
    // At a stop, delivering goes on this long while receivers take it.
    static constexpr double kDrainSeconds = 3.0;
    // ... and the rest of the stop (cutting transfers short, the last
    // writes) takes at most this much more.
    static constexpr double kStopMarginSeconds = 3.0;

    // Opens the outbox (tables notify_*, one kind per target) and the
    // sequence (channel "notify") in o.outbox_path; throws OutboxError or
    // SequenceError naming the file.
    static NotifyStorage open_storage(const NotifyOptions& o, const NotifyConfig& cfg);

    // now_ms: the gateway's clock; mono_s: the host's monotonic seconds
    // (scaled like its timers) for the bursts; states and battery: what the
    // messages say of the device beside each change (null: nothing).
    NotifyService(const NotifyOptions& o, NotifyConfig cfg, NotifyStorage storage,
                  std::function<int64_t()> now_ms, std::function<double()> mono_s,
                  const DeviceStates* states = nullptr, const BatteryMonitor* battery = nullptr);
    ~NotifyService();
    NotifyService(const NotifyService&) = delete;
    NotifyService& operator=(const NotifyService&) = delete;

    HostSink* sink() override { return &events_; }
    // Groups and stores what came, delivers for up to kDrainSeconds, says
    // what is left (it goes at the next start). Ends within kDrainSeconds
    // and kStopMarginSeconds whatever the receivers and the disk do.
    void stop() override;

    Json::Value stats_line() const;
    std::optional<Json::Value> stats() const override { return stats_line(); }
    std::string prometheus_text() const override;

   private:
    // Hands a stored message to its target's sender.
    class Backend : public DeliveryBackend {
       public:
        explicit Backend(const NotifyConfig& cfg) : cfg_(cfg) {}
        DeliveryAnswer deliver(size_t target, const StoredMessage& m,
                               const std::atomic<bool>& abort) override;

       private:
        const NotifyConfig& cfg_;
    };

    void group_loop();
    // The device's state and figures beside the change (alarm_facts.h).
    void add_facts(NotifyEvent& e) const;
    void make_message(const Burst& burst);

    const NotifyOptions options_;
    const NotifyConfig cfg_;
    NotifyStorage storage_;
    const std::function<int64_t()> now_ms_;
    const std::function<double()> mono_s_;
    const DeviceStates* states_;
    const BatteryMonitor* battery_;
    NotifyCounters counters_;
    NotifyEvents events_;
    Backend backend_{cfg_};
    std::unique_ptr<OutboxWriter> writer_;
    std::unique_ptr<DeliveryLoop> delivery_;

    // The grouping thread's own.
    BurstGrouper grouper_;
    LogLimiter sequence_log_{60.0};

    std::atomic<bool> stop_grouping_{false};
    std::mutex mutex_;
    std::condition_variable grouped_cv_;
    bool grouped_ = false;  // the grouping thread ended
    bool stopped_ = false;
    std::thread grouping_;
};

// The configuration's "notify": opens the outbox and the sequence and makes
// the service; none when the configuration has no targets.
OpenedService open_notify_service(const NotifyOptions& options, NotifyConfig cfg,
                                  const ServiceContext& ctx);

}  // namespace smdgw::notify
