#pragma once
// smdgw --prometheus FILE: the current values of every device in the
// Prometheus text format, for node_exporter's textfile collector. The file is
// rewritten after every round and whenever a communication alarm changes,
// through a private temporary file, fsync and a rename, so a reader never
// sees half a file and a crash never leaves one.

#include <cstdint>
#include <functional>
#include <string>

#include "host/frame_codec.h"
#include "host/host_sink.h"
#include "tools/smdgw/core/device_state.h"
#include "tools/smdgw/output/prometheus_render.h"

namespace smdgw {

// Every device of the state snapshot, in its order. Plant figures come from
// the last complete live round only; the line's health (state, damaged
// rounds, held alarm changes, active alarms) from the host's judgement. The
// file is written when a round is stored (its alarms evaluated), when a
// communication alarm is raised or cleared, when a device state changes (on
// the host's timer, without any round) and when alarms are loaded at start.
class PrometheusFile : public HostSink {
   public:
    PrometheusFile(std::string path, std::string driver_version, const DeviceStates& states)
        : path_(std::move(path)), version_(std::move(driver_version)), states_(states) {}

    // The families of the gateway's services (history, MQTT), written after
    // the devices'; the same text /metrics serves.
    void set_service_metrics(std::function<std::string()> text) {
        service_metrics_ = std::move(text);
    }

    void on_history(const std::string& device, const smd::RecordStored& r) override;
    void on_alarm(const std::string& device, const smd::AlarmChange& a) override;
    void on_state(const std::string& device, const smd::StateChanged& s) override;
    void on_active_alarms(const std::string& device, const smd::ActiveAlarms& a) override;

    // The whole exposition as it would be written now.
    std::string render() const;
    // Writes the file; false (and a message on standard error) when it cannot.
    bool write() const;

   private:
    std::string path_;
    std::string version_;
    const DeviceStates& states_;
    std::function<std::string()> service_metrics_;
};


}  // namespace smdgw
