#pragma once
// smdgw --snmp-agentx: the AgentX subagent on a thread of its own. It reads
// only the device state snapshot (never the line's thread), serves the view
// built from it, numbers and sends the notifications the events queue, and
// sends the heartbeat. A walk storm costs the agent thread, not the line.

#include <json/value.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/host_sink.h"
#include "tools/smdgw/core/config.h"
#include "tools/smdgw/core/device_state.h"
#include "tools/smdgw/core/notification_sequence.h"
#include "tools/smdgw/core/log_limiter.h"
#include "tools/smdgw/core/service.h"
#include "tools/smdgw/snmp/mib_view.h"
#include "tools/smdgw/snmp/snmp_counters.h"
#include "tools/smdgw/snmp/snmp_events.h"
#include "tools/smdgw/snmp/snmp_options.h"

namespace smdgw::snmp {

class AgentxSession;

class SnmpService : public Service {
   public:
    // The channel's name in the history database's notification_sequence.
    static constexpr const char* kChannel = "snmp";

    // The notification sequence of the options: in the history database, or
    // the state file. Throws SequenceError naming the file.
    static std::unique_ptr<NotificationSequence> open_sequence(const SnmpOptions& options);

    // now: the gateway's clock (Unix seconds). Nothing runs until start().
    // battery: the devices' battery estimates, served beside their state.
    SnmpService(const SnmpOptions& options, std::unique_ptr<NotificationSequence> sequence,
                const GatewayConfig& cfg, const DeviceStates& states, std::string version,
                std::function<std::time_t()> now, const BatteryMonitor& battery);
    // stop(), if not done yet.
    ~SnmpService();
    SnmpService(const SnmpService&) = delete;
    SnmpService& operator=(const SnmpService&) = delete;

    HostSink* sink() override { return &events_; }
    // Starts the agent thread: it connects, and keeps trying while snmpd is absent.
    void start() override;
    // Sends what is queued, closes the session and ends the thread.
    void stop() override;

    Json::Value stats_line() const;
    std::optional<Json::Value> stats() const override { return stats_line(); }
    std::string prometheus_text() const override;

   private:
    void run();
    void send_pending(AgentxSession& session);
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
    std::atomic<bool> stop_{false};
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
