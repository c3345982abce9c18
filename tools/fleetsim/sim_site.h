#pragma once
// One simulated site: what its smdgw publishes, made by the gateway's own
// code (the compact record, the message members, the topic levels): the
// status, the device's state and alarm list, an alarm event at a mains
// failure, a compact record every interval. pub_seq runs per device and
// kind from 1; boot_id is new for each site.

#include <cstdint>
#include <map>
#include <string>

namespace smdgw {

struct SimMessage {
    std::string topic;
    std::string payload;
    bool retain = false;
};

class SimSite {
   public:
    // shards 0: no shard level (smdgw/<id>/...).
    SimSite(std::string gateway_id, const std::string& prefix, unsigned shards, uint64_t seed);

    const std::string& id() const { return id_; }
    const std::string& topic_prefix() const { return prefix_; }
    std::string status_topic() const { return prefix_ + "/status"; }

    SimMessage state(int64_t now_ms, const std::string& state);
    SimMessage record(int64_t now_ms);
    SimMessage alarm_list(int64_t now_ms);
    // The mains fails (on battery) or comes back: the alarm event.
    SimMessage mains(int64_t now_ms, bool failed);
    bool on_battery() const { return on_battery_; }
    uint64_t records() const { return seq_.count("plant1/record") ? seq_.at("plant1/record") : 0; }

   private:
    SimMessage message(const std::string& kind, int64_t now_ms, std::string members, bool retain);

    std::string id_;
    std::string prefix_;
    std::string boot_id_;
    uint64_t rng_;
    bool on_battery_ = false;
    int64_t mains_failed_ms_ = 0;
    std::map<std::string, uint64_t> seq_;
};

}  // namespace smdgw
