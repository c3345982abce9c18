#pragma once
// smdgw --snmp-agentx: the AgentX subagent on a thread of its own. It reads
// only the device state snapshot (never the line's thread), serves the view
// built from it, numbers the notifications the events queue and stores them
// in its outbox, and sends the heartbeat. The outbox's sender hands each
// stored notification back to the agent thread for snmpd, oldest first: one
// made while snmpd is away goes when it is back, in order, with its number.
// A walk storm costs the agent thread, not the line.

#include <json/value.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/host_sink.h"
#include "tools/smdgw/core/config.h"
#include "tools/smdgw/core/device_state.h"
#include "tools/smdgw/core/notification_sequence.h"
#include "tools/smdgw/core/log_limiter.h"
#include "tools/smdgw/core/service.h"
#include "tools/smdgw/outbox/delivery_loop.h"
#include "tools/smdgw/outbox/outbox_store.h"
#include "tools/smdgw/outbox/outbox_writer.h"
#include "tools/smdgw/snmp/mib_view.h"
#include "tools/smdgw/snmp/snmp_counters.h"
#include "tools/smdgw/snmp/snmp_events.h"
#include "tools/smdgw/snmp/snmp_options.h"
#include "tools/smdgw/snmp/trap_handoff.h"

namespace smdgw::snmp {

class AgentxSession;

class SnmpService : public Service {
   public:
    // The channel's name in the history database's notification_sequence.
    static constexpr const char* kChannel = "snmp";

    // How long stop() goes on handing stored notifications to snmpd, and
    // how much longer it may take whatever the disk does.
    static constexpr double kDrainSeconds = 2.0;
    static constexpr double kStopMarginSeconds = 2.0;
    // The outbox's bound on the disk.
    static constexpr uint64_t kOutboxMaxBytes = uint64_t(32) << 20;

    // The notification sequence of the options: the state file, and the
    // history database besides when there is one (numbering goes on from
    // the higher). Throws SequenceError naming the file.
    static std::unique_ptr<NotificationSequence> open_sequence(const SnmpOptions& options);
    // The outbox in the state folder; throws OutboxError naming the file.
    static std::unique_ptr<OutboxStore> open_outbox(const SnmpOptions& options);

    // now: the gateway's clock (Unix seconds). Nothing runs until start().
    // battery: the devices' battery estimates, served beside their state.
    SnmpService(const SnmpOptions& options, std::unique_ptr<NotificationSequence> sequence,
                std::unique_ptr<OutboxStore> outbox, const GatewayConfig& cfg,
                const DeviceStates& states, std::string version, std::function<std::time_t()> now,
                const BatteryMonitor& battery);
    // stop(), if not done yet.
    ~SnmpService();
    SnmpService(const SnmpService&) = delete;
    SnmpService& operator=(const SnmpService&) = delete;

    HostSink* sink() override { return &events_; }
    // Starts the agent thread: it connects, and keeps trying while snmpd is absent.
    bool start() override;
    // Stores what is queued, hands stored notifications to snmpd for up to
    // kDrainSeconds (the rest go at the next start), closes the session and
    // ends the threads.
    void stop() override;

    Json::Value stats_line() const;
    std::optional<Json::Value> stats() const override { return stats_line(); }
    std::string prometheus_text() const override;

   private:
    void run();
    // Numbers what the events queued and hands it to the outbox.
    void store_pending();
    void send_heartbeat(AgentxSession& session);
    // The view of now: built again after a change, or when it is old.
    const MibView& view();

    const SnmpOptions options_;
    std::unique_ptr<NotificationSequence> sequence_;
    std::vector<DeviceInfo> devices_;
    const DeviceStates& states_;
    const BatteryMonitor& battery_;
    const std::string version_;
    std::function<std::time_t()> now_;
    SnmpEvents events_;
    SnmpCounters counters_;
    std::unique_ptr<OutboxStore> outbox_;
    OutboxCounters outbox_counters_;
    DeliveryCounters delivery_counters_;
    std::unique_ptr<OutboxWriter> writer_;
    TrapHandoff handoff_;
    std::unique_ptr<DeliveryLoop> delivery_;
    // stop(): first the queue is stored (flushed), then the agent thread ends.
    std::atomic<bool> flush_{false};
    std::atomic<bool> stop_{false};
    std::mutex flush_mutex_;
    std::condition_variable flushed_cv_;
    bool flushed_ = false;
    bool stopped_ = false;
    std::thread thread_;

    // The agent thread's own.
    AlarmRows rows_;
    MibView view_;
    double view_built_ = -1.0;
    LogLimiter store_log_{60.0};
    LogLimiter drop_log_{60.0};
};

// --snmp-agentx: opens the notification sequence and makes the service;
// none without --snmp-agentx.
OpenedService open_snmp_service(const SnmpOptions& options, const ServiceContext& ctx);

}  // namespace smdgw::snmp
