#pragma once
// What the MQTT service counts, written by its threads and read by the stats
// line and the Prometheus file.

#include <json/value.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace smdgw {

class MqttOutbox;

struct MqttCounters {
    std::atomic<bool> connected{false};
    std::atomic<uint64_t> queued{0};        // committed to the outbox
    std::atomic<uint64_t> sent{0};          // handed to the library
    std::atomic<uint64_t> acknowledged{0};  // PUBACK received, deleted from the outbox
    std::atomic<uint64_t> dropped{0};       // outbox full (or the disk failing for long)
    std::atomic<uint64_t> refused{0};       // PUBACK with an error reason (MQTT 5)
    std::atomic<uint64_t> connects{0};      // connections accepted by the broker
    std::atomic<uint64_t> takeovers{0};     // another client took our client ID
    std::atomic<uint64_t> outbox_errors{0};
    std::atomic<bool> outbox_failing{false};
};

// {"event":"stats","service":"mqtt",...}: the counters and the outbox's size.
Json::Value mqtt_stats_line(const MqttCounters& c, const MqttOutbox& outbox, int64_t now_ms);

// The smdgw_mqtt_* families in the Prometheus text format.
std::string mqtt_prometheus_text(const MqttCounters& c, const MqttOutbox& outbox,
                                 int64_t now_ms);

}  // namespace smdgw
