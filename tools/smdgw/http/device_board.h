#pragma once
// The adapter between the host and the HTTP service: a sink that follows
// every device's records and alarm changes on the line thread and keeps, under
// one lock, the view the handlers read. It also forwards the events to the
// open event streams and tells when a device changes state.

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/frame_codec.h"
#include "host/host_clock.h"
#include "host/host_sink.h"
#include "tools/smdgw/http/device_view.h"
#include "tools/smdgw/http/event_hub.h"

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
    // clock: the gateway's (null: the system clock); hub: where events go.
    DeviceBoard(const HostClock* clock, EventHub& hub);

    // Before the line starts.
    void add_device(const DeviceInfo& info);
    // Records published until this call came from the history; later ones are live.
    void restore_done();

    // Line thread, between frames: the decoder's counters of a device.
    void sample(const std::string& name, const smd::FrameCounters& counters);
    // Line thread, now and then: states that change with time alone (a line
    // gone silent turns stale) are announced as "state" events.
    void tick();
    // Any line of smdgw itself (stats, control results) for the event streams.
    void forward(const std::string& device, const Json::Value& line);

    void on_publish(const std::string& device, int data_id, const unsigned char* data,
                    unsigned length) override;
    void on_event(const std::string& device, const Json::Value& event) override;

    int64_t now() const override;
    std::vector<DeviceView> devices() const override;
    std::optional<DeviceView> device(const std::string& name) const override;
    std::vector<TrendPoint> trend(const std::string& name) const override;
    std::vector<PrometheusDevice> prometheus() const override;

   private:
    struct Entry {
        DeviceInfo info;
        std::vector<unsigned char> record;
        int64_t last_round = 0;
        bool has_round = false;
        bool restored = false;
        uint64_t rounds = 0;
        bool has_counters = false;
        smd::FrameCounters counters;
        // Active alarms by host identity (key, alarm ID, sequence).
        std::map<std::string, AlarmView> alarms;
        std::deque<TrendPoint> trend;
        std::string announced_state;
    };
    Entry* find(const std::string& name);
    const Entry* find(const std::string& name) const;
    DeviceView view(const Entry& e, int64_t now) const;
    std::string state(const Entry& e, int64_t now) const;
    // Queues a "state" event when the device's state differs from the last one told.
    void announce(Entry& e, int64_t now);
    void publish(const std::string& device, const Json::Value& event);

    const HostClock& clock_;
    EventHub& hub_;
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    bool restoring_ = true;
};

}  // namespace smdgw::http
