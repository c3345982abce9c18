#pragma once
// The outputs smdgw writes, chosen by the options: the format on standard
// output (JSON lines, text or Influx), the Prometheus file, the line trace and
// the history. They hang on one fan-out sink that every device reports to.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/host_clock.h"
#include "tools/smdgw/core/battery_monitor.h"
#include "tools/smdgw/core/config.h"
#include "tools/smdgw/core/fanout_sink.h"
#include "tools/smdgw/core/gateway.h"
#include "tools/smdgw/core/line_output.h"
#include "tools/smdgw/history/history_session.h"
#include "tools/smdgw/core/service.h"
#include "tools/smdgw/options.h"
#include "tools/smdgw/output/event_writer.h"
#include "tools/smdgw/output/influx_writer.h"
#include "tools/smdgw/output/line_trace.h"
#include "tools/smdgw/output/prometheus_file.h"
#include "tools/smdgw/output/text_view.h"

namespace smdgw {

// The gateway's clock in nanoseconds since the epoch: the host clock when
// smdgw has one of its own, else the system clock.
int64_t now_ns(const HostClock* clock);

class Outputs {
   public:
    // out: smdgw's standard output (see open_own_output); clock: null for the
    // system clock. history: the opened store when --history was given.
    // states: the device state snapshot the gateway keeps up to date.
    // battery: the devices' battery estimates, fed first of all so every
    // output of a round sees its estimate. services: those the options ask
    // for, in the order they take events, start, stop and give their
    // statistics.
    Outputs(const Options& opts, const GatewayConfig& cfg, std::FILE* out, const HostClock* clock,
            std::optional<HistoryStore> history, const DeviceStates& states,
            BatteryMonitor& battery, std::vector<std::unique_ptr<Service>> services = {});
    Outputs(const Outputs&) = delete;
    Outputs& operator=(const Outputs&) = delete;

    // What the devices report to.
    FanoutSink& sink() { return sink_; }
    // smdgw's own lines (values, control results, statistics), in the format.
    LineOutput& lines() { return *lines_; }
    // What the gateway writes its own lines to: the format, through the
    // services that see them (HTTP's event streams).
    LineOutput& gateway_lines() { return *gateway_lines_; }

    // Once the devices exist: the services meet them, the Prometheus file
    // writes its first version (every device down until its first round),
    // the history hands them their last round, the services start. False
    // when the Prometheus file cannot be written or a service cannot serve.
    bool start(Gateway& gw);
    // Called often by the loop that reads the lines: writes what waited
    // for its interval.
    void tick();
    // After the input: the services stop in the reverse order of their table
    // (HTTP first; what waits for the broker is sent for a few seconds at
    // most, the subagent sends what is queued), then the Prometheus file's
    // last version.
    void finish();
    // The statistics of the services, after the devices'.
    void write_stats();
    // The Prometheus families of the services (history errors, MQTT, SNMP), for
    // the --prometheus file and /metrics alike; safe on any thread.
    std::string service_metrics() const;
    // The battery estimates of the devices with a "battery" object.
    const BatteryMonitor& battery() const { return battery_; }

   private:
    FanoutSink sink_;
    BatteryMonitor& battery_;
    EventWriter json_;
    TextView text_;
    InfluxWriter influx_;
    LineOutput* lines_ = &json_;
    LineOutput* gateway_lines_ = &json_;
    std::unique_ptr<PrometheusFile> prometheus_;
    std::unique_ptr<LineTrace> line_trace_;
    std::unique_ptr<HistorySession> history_;
    std::vector<std::unique_ptr<Service>> services_;
};

}  // namespace smdgw
