#include "tools/smdgw/mqtt/mqtt_counters.h"
#include "tools/smdgw/outbox/outbox_store.h"
#include "tools/smdgw/output/prometheus_render.h"
#include "tools/smdgw/output/record_samples.h"

namespace smdgw {

namespace {

// Seconds since the oldest stored message was made; 0 when none waits.
double oldest_age_s(const OutboxStore& outbox, int64_t now_ms) {
    const int64_t oldest = outbox.oldest_ms();
    if (oldest <= 0 || now_ms < oldest) return 0.0;
    return static_cast<double>(now_ms - oldest) / 1000.0;
}

// A labelled family has one sample per kind of message (kind="record", ...).
//   smdgw_mqtt_connected 1
//   smdgw_mqtt_messages_dropped_total{kind="record"} 471
constexpr MetricFamily kFamilies[] = {
    {"smdgw_mqtt_connected", "gauge", "1 while connected to the MQTT broker"},
    {"smdgw_mqtt_messages_queued_total", "counter", "Messages stored in the outbox"},
    {"smdgw_mqtt_queued_bytes_total", "counter",
     "Bytes (topic and payload) of the messages stored in the outbox"},
    {"smdgw_mqtt_messages_sent_total", "counter", "Messages handed to the broker connection"},
    {"smdgw_mqtt_messages_acknowledged_total", "counter",
     "Messages the broker acknowledged (PUBACK) and the outbox let go"},
    {"smdgw_mqtt_messages_dropped_total", "counter",
     "Messages dropped over the outbox's life, by kind: the outbox at its bound, or never "
     "stored (a failing disk, a full memory backlog, a stop)",
     true},
    {"smdgw_mqtt_messages_refused_total", "counter",
     "Messages the broker acknowledged with an error reason"},
    {"smdgw_mqtt_takeovers_total", "counter",
     "Connections ended because another client took this gateway's client ID"},
    {"smdgw_mqtt_outbox_errors_total", "counter", "Writes to the outbox that failed"},
    {"smdgw_mqtt_outbox_failing", "gauge", "1 while writes to the outbox fail"},
    {"smdgw_mqtt_backlog_messages", "gauge", "Messages waiting in memory to be stored"},
    {"smdgw_mqtt_backlog_bytes", "gauge", "Bytes waiting in memory to be stored"},
    {"smdgw_mqtt_outbox_bytes", "gauge", "Bytes (topic and payload) stored in the outbox"},
    {"smdgw_mqtt_outbox_messages", "gauge", "Messages stored in the outbox"},
    {"smdgw_mqtt_outbox_oldest_age_seconds", "gauge",
     "Age of the oldest message stored in the outbox (0 when empty)"},
    {"smdgw_mqtt_outbox_disk_bytes", "gauge",
     "What the outbox takes on the disk as its bound counts it: pages, log, reserve"},
    {"smdgw_mqtt_outbox_max_bytes", "gauge", "The outbox's bound (--mqtt-outbox-max)"},
    {"smdgw_mqtt_ha_configs_published_total", "counter",
     "Home Assistant discovery configurations published (retained)"},
    {"smdgw_mqtt_ha_configs_deleted_total", "counter",
     "Home Assistant discovery configurations deleted: entities or devices gone"},
    {"smdgw_mqtt_ha_births_total", "counter", "Home Assistant birth messages (online) received"},
    {"smdgw_mqtt_ha_unreadable_total", "counter",
     "Retained configurations below this gateway's node that name none of its devices "
     "(not JSON, too long, no device): deleted"},
};

}  // namespace

Json::Value mqtt_stats_line(const MqttCounters& c, const OutboxStore& outbox, int64_t now_ms) {
    Json::Value v;
    v["event"] = "stats";
    v["service"] = "mqtt";
    v["connected"] = c.connected.load();
    v["queued"] = static_cast<Json::UInt64>(c.outbox.committed.load());
    v["queued_bytes"] = static_cast<Json::UInt64>(c.outbox.committed_bytes.load());
    v["sent"] = static_cast<Json::UInt64>(c.sent.load());
    v["acknowledged"] = static_cast<Json::UInt64>(c.acknowledged.load());
    Json::Value by_kind(Json::objectValue);
    uint64_t dropped = 0;
    for (size_t k = 0; k < outbox.kinds().size(); ++k) {
        const uint64_t n = dropped_so_far(outbox, c.outbox, k);
        by_kind[outbox.kinds()[k]] = static_cast<Json::UInt64>(n);
        dropped += n;
    }
    v["dropped"] = static_cast<Json::UInt64>(dropped);
    v["dropped_by_kind"] = by_kind;
    v["unstored"] = static_cast<Json::UInt64>(c.outbox.unstored.load());
    v["refused"] = static_cast<Json::UInt64>(c.refused.load());
    v["takeovers"] = static_cast<Json::UInt64>(c.takeovers.load());
    v["outbox_errors"] = static_cast<Json::UInt64>(c.outbox.errors.load());
    v["outbox_failing"] = c.outbox.failing.load();
    v["backlog_messages"] = static_cast<Json::UInt64>(c.outbox.backlog_messages.load());
    v["backlog_bytes"] = static_cast<Json::UInt64>(c.outbox.backlog_bytes.load());
    v["outbox_bytes"] = static_cast<Json::UInt64>(outbox.bytes());
    v["outbox_messages"] = static_cast<Json::UInt64>(outbox.messages());
    v["outbox_oldest_age_s"] = oldest_age_s(outbox, now_ms);
    v["outbox_disk_bytes"] = static_cast<Json::UInt64>(outbox.disk_bytes());
    v["ha_configs_published"] = static_cast<Json::UInt64>(c.ha_published.load());
    v["ha_configs_deleted"] = static_cast<Json::UInt64>(c.ha_deleted.load());
    v["ha_births"] = static_cast<Json::UInt64>(c.ha_births.load());
    v["ha_unreadable"] = static_cast<Json::UInt64>(c.ha_unreadable.load());
    return v;
}

std::string mqtt_prometheus_text(const MqttCounters& c, const OutboxStore& outbox,
                                 int64_t now_ms) {
    const double values[] = {
        c.connected.load() ? 1.0 : 0.0,
        static_cast<double>(c.outbox.committed.load()),
        static_cast<double>(c.outbox.committed_bytes.load()),
        static_cast<double>(c.sent.load()),
        static_cast<double>(c.acknowledged.load()),
        0.0,  // by kind, below
        static_cast<double>(c.refused.load()),
        static_cast<double>(c.takeovers.load()),
        static_cast<double>(c.outbox.errors.load()),
        c.outbox.failing.load() ? 1.0 : 0.0,
        static_cast<double>(c.outbox.backlog_messages.load()),
        static_cast<double>(c.outbox.backlog_bytes.load()),
        static_cast<double>(outbox.bytes()),
        static_cast<double>(outbox.messages()),
        oldest_age_s(outbox, now_ms),
        static_cast<double>(outbox.disk_bytes()),
        static_cast<double>(outbox.max_bytes()),
        static_cast<double>(c.ha_published.load()),
        static_cast<double>(c.ha_deleted.load()),
        static_cast<double>(c.ha_births.load()),
        static_cast<double>(c.ha_unreadable.load()),
    };
    static_assert(sizeof values / sizeof values[0] == sizeof kFamilies / sizeof kFamilies[0],
                  "one value per family");
    return render_families(kFamilies, values, sizeof values / sizeof values[0], [&](size_t i) {
        std::string out;
        for (size_t k = 0; k < outbox.kinds().size(); ++k)
            out += std::string(kFamilies[i].name) + "{kind=\"" + outbox.kinds()[k] + "\"} " +
                   shortest_text(static_cast<double>(dropped_so_far(outbox, c.outbox, k))) + "\n";
        return out;
    });
}

}  // namespace smdgw
