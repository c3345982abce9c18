#pragma once
// A service of the gateway (HTTP, MQTT, SNMP, notifications, ...): made from
// its options and the context below by its module (core/service_module.h), it
// takes the events it needs from the fan-out, meets the devices once they
// exist, starts after the history restored their last rounds, stops within a
// bound of its own, and gives its statistics line and Prometheus families.
// smdgw walks one table of them; a new service is a folder and a row there.

#include <json/value.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/host_clock.h"
#include "host/host_sink.h"
#include "tools/smdgw/core/battery_monitor.h"
#include "tools/smdgw/core/config.h"
#include "tools/smdgw/core/device_state.h"
#include "tools/smdgw/core/exit_status.h"
#include "tools/smdgw/core/line_output.h"

namespace smdgw {

class Gateway;

class Service {
   public:
    virtual ~Service() = default;
    // The events it takes; null when it takes none.
    virtual HostSink* sink() { return nullptr; }
    // Before the gateway is made: smdgw's own lines (values, control results,
    // statistics) go to what this returns, which passes them on to `out`;
    // null when the service does not see them.
    virtual LineOutput* lines_through(LineOutput& /*out*/) { return nullptr; }
    // Once the devices exist, before the history restores their last rounds;
    // the gateway outlives the service's stop().
    virtual void add_devices(Gateway&) {}
    // Around the restore from the history at start: what is restored is not news.
    virtual void set_restoring(bool) {}
    // After the restore. False when it cannot serve (the reason said): the
    // gateway then ends, as a restart may find the address free.
    virtual bool start() { return true; }
    // Ends its threads within its own bound, saying what is left. Services
    // stop in the reverse order of the table, once the input has ended.
    virtual void stop() = 0;
    // Its {"event":"stats","service":...} line, if it has one.
    virtual std::optional<Json::Value> stats() const { return std::nullopt; }
    // Its Prometheus families (through render_families).
    virtual std::string prometheus_text() const { return {}; }
};

// What every service is made from.
struct ServiceContext {
    const GatewayConfig& cfg;
    const DeviceStates& states;
    std::function<int64_t()> now_ms;  // the gateway's clock
    std::function<double()> mono_s;   // the host's monotonic seconds (scaled like its timers)
    const HostClock* clock;           // the host clock; null for the system's
    std::string version;
    // The port or capture followed by the devices without a "port" of their own.
    std::string input;
    // Every output's and service's Prometheus families, as the --prometheus
    // file has them; callable once the services are started.
    std::function<std::string()> metrics;
    // The devices' battery estimates (empty without a "battery" object), fed
    // before any service takes a round.
    const BatteryMonitor& battery;
};

// An open function's answer: the service, none (not asked for), or the
// exit status of a start that cannot go on (the reason said already).
struct OpenedService {
    std::unique_ptr<Service> service;
    int status = kExitOk;
};

}  // namespace smdgw
