#pragma once
// --mqtt-record-interval S: a device's records go to the broker at most every
// S seconds, and then the newest complete one, to spare a metered uplink.
// Alarms, states and the gateway's status are never held. A held round goes
// out before the device goes quiet (any state but live) and at a stop, so
// the broker keeps the last values read.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/host_events.h"

namespace smdgw {

class RecordInterval {
   public:
    // Publishes a round, with the time it was read.
    using Publish =
        std::function<void(const std::string& device, const smd::RecordPublished& r, int64_t at_ms)>;

    // 0 seconds: every round at once.
    RecordInterval(double seconds, Publish publish);

    // A round worth publishing, read at now_ms: published now or held.
    void offer(const std::string& device, const smd::RecordPublished& r, int64_t now_ms);
    // Publishes what the device holds, if anything.
    void flush(const std::string& device);
    void flush_all();

   private:
    struct Held {
        bool present = false;
        int data_id = 0;
        std::vector<unsigned char> data;
        RoundQuality quality;
        int64_t at_ms = 0;
    };
    struct Device {
        bool published = false;
        int64_t last_ms = 0;
        Held held;
    };

    void publish_held(const std::string& device, Held& held);

    const int64_t interval_ms_;
    const Publish publish_;
    std::map<std::string, Device> devices_;
};

}  // namespace smdgw
