#include "tools/smdgw/mqtt/mqtt_counters.h"
#include "tools/smdgw/mqtt/mqtt_outbox.h"
#include "tools/smdgw/output/prometheus_render.h"

namespace smdgw {

namespace {

// Seconds since the oldest waiting message was queued; 0 when none waits.
double oldest_age_s(const MqttOutbox& outbox, int64_t now_ms) {
    const int64_t oldest = outbox.oldest_ms();
    if (oldest <= 0 || now_ms < oldest) return 0.0;
    return static_cast<double>(now_ms - oldest) / 1000.0;
}

//   smdgw_mqtt_connected 1
constexpr MetricFamily kFamilies[] = {
    {"smdgw_mqtt_connected", "gauge", "1 while connected to the MQTT broker"},
    {"smdgw_mqtt_messages_queued_total", "counter", "Messages put into the outbox"},
    {"smdgw_mqtt_messages_sent_total", "counter", "Messages handed to the broker connection"},
    {"smdgw_mqtt_messages_acknowledged_total", "counter",
     "Messages the broker acknowledged (PUBACK) and the outbox let go"},
    {"smdgw_mqtt_messages_dropped_total", "counter",
     "Messages dropped because the outbox was full"},
    {"smdgw_mqtt_messages_refused_total", "counter",
     "Messages the broker acknowledged with an error reason"},
    {"smdgw_mqtt_takeovers_total", "counter",
     "Connections ended because another client took this gateway's client ID"},
    {"smdgw_mqtt_outbox_bytes", "gauge", "Bytes waiting in the outbox"},
    {"smdgw_mqtt_outbox_messages", "gauge", "Messages waiting in the outbox"},
    {"smdgw_mqtt_outbox_oldest_age_seconds", "gauge",
     "Age of the oldest message waiting in the outbox (0 when empty)"},
};

}  // namespace

Json::Value mqtt_stats_line(const MqttCounters& c, const MqttOutbox& outbox, int64_t now_ms) {
    Json::Value v;
    v["event"] = "stats";
    v["service"] = "mqtt";
    v["connected"] = c.connected.load();
    v["queued"] = static_cast<Json::UInt64>(c.queued.load());
    v["sent"] = static_cast<Json::UInt64>(c.sent.load());
    v["acknowledged"] = static_cast<Json::UInt64>(c.acknowledged.load());
    v["dropped"] = static_cast<Json::UInt64>(c.dropped.load());
    v["refused"] = static_cast<Json::UInt64>(c.refused.load());
    v["takeovers"] = static_cast<Json::UInt64>(c.takeovers.load());
    v["outbox_bytes"] = static_cast<Json::UInt64>(outbox.bytes());
    v["outbox_messages"] = static_cast<Json::UInt64>(outbox.rows());
    v["outbox_oldest_age_s"] = oldest_age_s(outbox, now_ms);
    return v;
}

std::string mqtt_prometheus_text(const MqttCounters& c, const MqttOutbox& outbox,
                                  int64_t now_ms) {
    const double values[] = {
        c.connected.load() ? 1.0 : 0.0,
        static_cast<double>(c.queued.load()),
        static_cast<double>(c.sent.load()),
        static_cast<double>(c.acknowledged.load()),
        static_cast<double>(c.dropped.load()),
        static_cast<double>(c.refused.load()),
        static_cast<double>(c.takeovers.load()),
        static_cast<double>(outbox.bytes()),
        static_cast<double>(outbox.rows()),
        oldest_age_s(outbox, now_ms),
    };
    static_assert(sizeof values / sizeof values[0] == sizeof kFamilies / sizeof kFamilies[0],
                  "one value per family");
    return render_families(kFamilies, values, sizeof values / sizeof values[0]);
}

}  // namespace smdgw
