#pragma once
// smdgw --prometheus FILE: the current values of every device in the
// Prometheus text format, for node_exporter's textfile collector. The file is
// rewritten through a private temporary file, fsync and a rename, so a reader
// never sees half a file and a crash never leaves one. New values are
// written at most every --prometheus-interval seconds (node_exporter is
// scraped every 15 s or so; a rewrite after every round would wear a
// gateway's flash for nothing); a change of state or alarm at once.

#include <chrono>
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
// file is written at once when a round raised or cleared an alarm (once the
// round is stored, its alarms evaluated), when a communication alarm is
// raised or cleared, when a device state changes (on the host's timer,
// without any round) and when alarms are loaded at start; a round that
// changes only values is written when the interval since the last write is
// over (at the next round or tick).
class PrometheusFile : public HostSink {
   public:
    // interval_s: the least time between two writes for new values (0: after
    // every round).
    PrometheusFile(std::string path, std::string driver_version, const DeviceStates& states,
                   double interval_s = 15.0)
        : path_(std::move(path)),
          version_(std::move(driver_version)),
          states_(states),
          interval_(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
              std::chrono::duration<double>(interval_s))) {}

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
    // Writes the file now; false (and a message on standard error) when it cannot.
    bool write();
    // Writes values held back once their interval is over; called often by
    // the loop that reads the lines.
    void tick();

   private:
    std::string path_;
    std::string version_;
    const DeviceStates& states_;
    std::function<std::string()> service_metrics_;
    const std::chrono::steady_clock::duration interval_;
    std::chrono::steady_clock::time_point last_write_{};
    bool held_ = false;          // values newer than the file
    bool alarm_changed_ = false;  // in the round being evaluated
};


}  // namespace smdgw
