#pragma once
// What the MQTT service counts, written by its threads and read by the stats
// line and the Prometheus file: the connection's counts here, the outbox
// writer's in `outbox`, the outbox's own state in the store.

#include <json/value.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "tools/smdgw/outbox/delivery.h"
#include "tools/smdgw/outbox/outbox_counters.h"

namespace smdgw {

class OutboxStore;

struct MqttCounters {
    std::atomic<bool> connected{false};
    std::atomic<uint64_t> sent{0};          // handed to the library
    std::atomic<uint64_t> acknowledged{0};  // PUBACK received; the outbox lets them go
    std::atomic<uint64_t> refused{0};       // PUBACK with an error reason (MQTT 5)
    std::atomic<uint64_t> connects{0};      // connections accepted by the broker
    std::atomic<uint64_t> takeovers{0};     // another client took our client ID
    // Home Assistant discovery (--mqtt-ha-discovery).
    std::atomic<uint64_t> ha_published{0};   // retained configurations sent
    std::atomic<uint64_t> ha_deleted{0};     // retained configurations deleted
    std::atomic<uint64_t> ha_births{0};      // "online" on <discovery>/status
    std::atomic<uint64_t> ha_unreadable{0};  // found below our node, not one of ours
    OutboxCounters outbox;
    // The delivery loop's own, not shown: the counts above say it for MQTT.
    DeliveryCounters delivery;
};

// {"event":"stats","service":"mqtt",...}: the counters and the outbox's size.
Json::Value mqtt_stats_line(const MqttCounters& c, const OutboxStore& outbox, int64_t now_ms);

// The smdgw_mqtt_* families in the Prometheus text format.
std::string mqtt_prometheus_text(const MqttCounters& c, const OutboxStore& outbox,
                                 int64_t now_ms);

}  // namespace smdgw
