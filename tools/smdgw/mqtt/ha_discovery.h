#pragma once
// --mqtt-ha-discovery: announces each plant's entities to Home Assistant and
// keeps the broker's retained configurations equal to what the plants report.
//
// - After each record a device publishes, its entities are read from the
//   shown state (ha_entities.h) and its values go to <prefix>/<device>/ha_state
//   (not retained: expire_after and the availability cover a quiet gateway).
//   When the entities change (the first round, a module gone or added), the
//   new configurations are published retained and the ones that went are
//   deleted (an empty retained message).
// - What an earlier run announced is read back from the broker itself: at
//   each connection the gateway subscribes to its own node,
//   <discovery>/+/<gateway>/+/config, for kListenSeconds and takes the
//   retained configurations it gets. One of a device no longer configured is
//   deleted at once; one of a configured device is deleted once that
//   device's first round shows it is not among its entities. The broker is
//   the one place that knows what is retained, so no state file can
//   disagree with it (a broker restored from a backup, a second gateway
//   installation, a file lost with the disk).
// - Home Assistant's birth message ("online" on <discovery>/status) brings
//   every configuration again after a random delay of up to kJitterSeconds,
//   so that a whole site's gateways do not answer in the same instant; so
//   does every new connection.
//
// Threads: on_record() on the frame thread, the rest on the publisher's.

#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tools/smdgw/core/battery_monitor.h"
#include "tools/smdgw/core/config.h"
#include "tools/smdgw/core/device_state.h"
#include "tools/smdgw/core/log_limiter.h"
#include "tools/smdgw/mqtt/ha_config.h"
#include "tools/smdgw/mqtt/mqtt_counters.h"
#include "tools/smdgw/mqtt/mqtt_link.h"

namespace smdgw {

class HaDiscovery : public MqttSideTraffic {
   public:
    using Clock = std::chrono::steady_clock;
    static constexpr double kListenSeconds = 3.0;
    static constexpr double kJitterSeconds = 5.0;
    // A retained configuration longer than this is nobody's of ours.
    static constexpr size_t kMaxConfigBytes = 16384;

    HaDiscovery(HaIdentity id, const GatewayConfig& cfg, const DeviceStates& states,
                const BatteryMonitor& battery, MqttCounters& counters);

    // After a record of the device went to the outbox.
    void on_record(const std::string& device);

    void connected(MqttLink& link) override;
    void message(const std::string& topic, const std::string& payload, bool retained) override;
    void turn(MqttLink& link) override;

   private:
    struct Plant {
        HaPlant plant;
        bool known = false;  // a round told its entities
        PlantPresence presence;
        std::map<std::string, std::string> configs;  // topic -> what it announces now
        std::set<std::string> found;  // retained on the broker before its first round
    };
    void republish_all();  // under the lock
    void found_config(const std::string& topic, const std::string& payload);

    const HaIdentity id_;
    const DeviceStates& states_;
    const BatteryMonitor& battery_;
    MqttCounters& counters_;
    const std::string birth_topic_;
    const std::string filter_;
    const std::string gateway_topic_;

    std::mutex mutex_;
    std::map<std::string, Plant> plants_;                // by device name
    std::map<std::string, std::string> device_of_id_;    // device identifier -> name
    std::map<std::string, std::string> outgoing_;        // retained: topic -> payload, "" deletes
    std::map<std::string, std::string> values_;          // ha_state topic -> payload
    bool listening_ = false;
    Clock::time_point listen_until_{};
    bool republish_ = false;
    Clock::time_point republish_at_{};
    std::mt19937 random_;
    LogLimiter change_log_{60.0};
    unsigned foreign_ = 0;  // configurations of devices gone, found while listening
};

}  // namespace smdgw
