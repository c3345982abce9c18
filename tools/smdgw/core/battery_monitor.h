#pragma once
// The battery estimate of every device with a "battery" object, fed from the
// fan-out by the rounds that refreshed the DC panels (a held or damaged round
// moves nothing), and read by the outputs through battery(name).

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/host_clock.h"
#include "host/host_sink.h"
#include "host/rule_value.h"
#include "tools/smdgw/core/battery_estimator.h"
#include "tools/smdgw/core/config.h"

namespace smdgw {

// A reading as the outputs show it: `since` in seconds since the epoch.
struct BatteryView {
    BatteryReading reading;
    std::time_t since = 0;
};

class BatteryMonitor : public HostSink {
   public:
    // Devices without "battery" are not followed; the clock's monotonic
    // seconds time the counting (scaled with --time-scale). state_path: the
    // learned capacities kept across restarts ({"plant1": 158.2, ...}); empty
    // for none.
    BatteryMonitor(const GatewayConfig& cfg, const HostClock& clock,
                   std::string state_path = {});

    bool empty() const { return estimators_.empty(); }
    void on_publish(const std::string& device, const smd::RecordPublished& r) override;

    // The device's estimate; nullopt for a device without a battery.
    std::optional<BatteryView> battery(const std::string& device) const;
    // GET /api/v1/devices/{name}/battery: the estimate as JSON; "" without one.
    std::string json(const std::string& device) const;
    // The device's battery alarms (battery_alarms.h), every one active or
    // not; empty for a device without a battery.
    std::vector<rule_value> alarms(const std::string& device) const;
    // The smdgw_battery_* families of every device.
    std::string prometheus_text() const;

   private:
    struct Entry {
        BatteryConfig config;
        BatteryEstimator estimator;
        double since_offset = 0.0;  // unix minus monotonic seconds at the last update
    };
    void save_learned();

    const HostClock& clock_;
    std::string state_path_;
    mutable std::mutex mu_;
    std::map<std::string, Entry> estimators_;
};

}  // namespace smdgw
