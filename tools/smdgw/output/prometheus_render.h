#pragma once
// The Prometheus text exposition of every device: one renderer behind both the
// --prometheus file and the HTTP scrape endpoint, so the two never differ.

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/frame_codec.h"
#include "tools/smdgw/core/device_state.h"
#include "tools/smdgw/output/record_samples.h"

namespace smdgw {

// What one device contributes, copied out of the line thread's state so the
// text can be rendered on any thread.
struct PrometheusDevice {
    std::string name;
    uint32_t data_id = 0;
    bool has_counters = false;
    smd::FrameCounters counters;
    uint64_t rounds = 0;  // live rounds published
    bool comm_alarm = false;
    // The host's judgement of the line: its state, the quality of the last
    // live round, and the alarms it holds as raised.
    DataState state = DataState::Never;
    std::optional<std::time_t> last_live_time;
    std::optional<std::time_t> last_complete_time;
    std::optional<bool> last_live_complete;
    uint64_t rounds_damaged = 0;
    uint64_t alarm_changes_held = 0;
    uint64_t alarm_changes_dropped = 0;
    struct ActiveAlarm {
        AlarmKey id;
        int level = 0;
    };
    std::vector<ActiveAlarm> active_alarms;
    // Each section's freshness, when a live round last refreshed it, and the
    // live rounds that did not.
    std::array<SectionView, smd::kSectionCount> sections{};
    // The shown record's values: each section's from the last live round
    // that refreshed it, none of a section never refreshed.
    std::vector<Sample> samples;
};

// What the device state snapshot holds, as the exposition shows it.
std::vector<PrometheusDevice> prometheus_devices(const std::vector<DeviceState>& states);

// The whole exposition, families sorted by name, each with HELP and TYPE once.
std::string render_prometheus(const std::vector<PrometheusDevice>& devices,
                              const std::string& driver_version);

// A service's metric families (MQTT, SNMP): the table and the values in the
// same order, one unlabelled sample each, or, for a family marked labelled,
// the sample lines `labelled(i)` gives.
//   {"smdgw_mqtt_connected", "gauge", "1 while connected"} with 1:
//   # HELP smdgw_mqtt_connected 1 while connected
//   # TYPE smdgw_mqtt_connected gauge
//   smdgw_mqtt_connected 1
struct MetricFamily {
    const char* name;
    const char* type;
    const char* help;
    bool labelled = false;
};
std::string render_families(const MetricFamily* families, const double* values, size_t n,
                            const std::function<std::string(size_t)>& labelled = {});

// A label value with backslash, double quote and line feed escaped.
std::string prometheus_label(const std::string& s);

// The driver's communication alarm: raised when no round came for two minutes.
constexpr const char* kCommAlarmId = "120600180010";

}  // namespace smdgw
