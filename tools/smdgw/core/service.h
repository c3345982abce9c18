#pragma once
// A service of the gateway (MQTT, SNMP, notifications, ...): made from its
// options and the context below by its folder's open function, it takes the
// events it needs from the fan-out, starts once the devices exist, stops
// within a bound of its own, and gives its statistics line and Prometheus
// families. run.cpp walks one table of them; a new service is a folder and
// a row there.

#include <json/value.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/host_sink.h"
#include "tools/smdgw/core/battery_monitor.h"
#include "tools/smdgw/core/config.h"
#include "tools/smdgw/core/device_state.h"
#include "tools/smdgw/core/exit_status.h"

namespace smdgw {

class Service {
   public:
    virtual ~Service() = default;
    // The events it takes; null when it takes none.
    virtual HostSink* sink() { return nullptr; }
    // Around the restore from the history at start: what is restored is not news.
    virtual void set_restoring(bool) {}
    // Once the devices exist.
    virtual void start() {}
    // Ends its threads within its own bound, saying what is left.
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
    std::string version;
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
