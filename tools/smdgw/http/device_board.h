#pragma once
// The adapter between the host and the HTTP service. The gateway's device
// state snapshot holds each device's last record, alarms (with when each was
// raised) and counters; this sink adds what the API needs beyond it (the
// chart's last hour, announcing the host's state changes), forwards the
// events to the open event streams, and builds the views the handlers read.

#include <json/value.h>

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/frame_codec.h"
#include "host/host_clock.h"
#include "host/host_sink.h"
#include "tools/smdgw/core/device_state.h"
#include "tools/smdgw/http/device_view.h"
#include "tools/smdgw/http/event_hub.h"
#include "tools/smdgw/output/json_text.h"

namespace smdgw::http {

// What the configuration says about a device.
struct DeviceInfo {
    std::string name;
    uint32_t data_id = 0;
    std::optional<unsigned> address;
    std::string port;  // empty: nothing to follow
    std::string role;
};

class DeviceBoard : public HostSink, public DeviceSource {
   public:
    // clock: the gateway's (null: the system clock); hub: where events go;
    // states: the gateway's snapshot, which hears of every event first.
    DeviceBoard(const HostClock* clock, EventHub& hub, const DeviceStates& states);

    // Before the line starts.
    void add_device(const DeviceInfo& info);
    // Records published until this call came from the history; later ones are live.
    void restore_done();
    // Record events carry the device's battery estimate from this ("" none).
    void set_battery(std::function<std::string(const std::string&)> battery) {
        battery_ = std::move(battery);
    }

    // Line thread, now and then: states that change with time alone (a line
    // gone silent turns stale) are announced as "state" events.
    void tick();
    // Any line of smdgw itself (stats, control results) for the event streams.
    void forward(const std::string& device, const Json::Value& line);

    void on_publish(const std::string& device, const smd::RecordPublished& r) override;
    void on_alarm(const std::string& device, const smd::AlarmChange& a) override;
    void on_report(const std::string& device, const smd::AnalogReport& r) override;
    void on_command(const std::string& device, const smd::CommandSent& c) override;

    int64_t now() const override;
    std::vector<DeviceView> devices() const override;
    std::optional<DeviceView> device(const std::string& name) const override;
    std::vector<TrendPoint> trend(const std::string& name) const override;
    std::vector<PrometheusDevice> prometheus() const override;

   private:
    std::function<std::string(const std::string&)> battery_;
    struct Entry {
        DeviceInfo info;
        // DC voltage and load of the rounds that refreshed the DC panels.
        std::deque<TrendPoint> trend;
        std::string announced_state;
    };
    Entry* find(const std::string& name);
    const Entry* find(const std::string& name) const;
    DeviceView view(const Entry& e, const DeviceState& d, int64_t now) const;
    // Queues a "state" event when the device's state differs from the last one told.
    void announce(Entry& e, int64_t now);
    void publish(const std::string& device, const Json::Value& event);
    // An event rendered as the JSON output renders it, with its device.
    void publish(const std::string& device, const char* kind, JsonObject& members);

    const HostClock& clock_;
    EventHub& hub_;
    const DeviceStates& states_;
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    bool restoring_ = true;
};

}  // namespace smdgw::http
