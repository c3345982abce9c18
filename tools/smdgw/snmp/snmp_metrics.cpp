#include "tools/smdgw/output/prometheus_render.h"
#include "tools/smdgw/snmp/snmp_counters.h"

namespace smdgw::snmp {

namespace {

//   smdgw_snmp_agentx_connected 1
constexpr MetricFamily kFamilies[] = {
    {"smdgw_snmp_agentx_connected", "gauge", "1 while registered with snmpd's AgentX master"},
    {"smdgw_snmp_agentx_registrations_total", "counter",
     "Times the subagent opened a session with snmpd and registered its tables"},
    {"smdgw_snmp_agentx_disconnects_total", "counter", "Times the session with snmpd was lost"},
    {"smdgw_snmp_requests_total", "counter", "Request batches snmpd handed to the subagent"},
    {"smdgw_snmp_notifications_sent_total", "counter",
     "Numbered notifications handed to snmpd (alarm raised or cleared, device state changed)"},
    {"smdgw_snmp_notifications_waiting", "gauge",
     "Numbered notifications in the outbox waiting for snmpd"},
    {"smdgw_snmp_notifications_unsent_total", "counter",
     "Stored notifications that could not be read back (a damaged row; their numbers leave a "
     "gap)"},
    {"smdgw_snmp_notifications_dropped_total", "counter",
     "Notifications dropped because too many waited, in memory or at the outbox's bound (their "
     "numbers leave a gap)"},
    {"smdgw_snmp_heartbeats_total", "counter", "Heartbeat notifications handed to snmpd"},
    {"smdgw_snmp_notification_sequence", "gauge", "The last notification sequence number taken"},
    {"smdgw_snmp_sequence_store_errors_total", "counter",
     "Failed attempts to store the notification sequence number"},
};

}  // namespace

Json::Value snmp_stats_line(const SnmpCounters& c, const std::string& address,
                            uint64_t outbox_dropped) {
    Json::Value v;
    v["event"] = "stats";
    v["service"] = "snmp";
    v["agentx"] = address;
    v["connected"] = c.connected.load();
    v["registrations"] = static_cast<Json::UInt64>(c.registrations.load());
    v["disconnects"] = static_cast<Json::UInt64>(c.disconnects.load());
    v["requests"] = static_cast<Json::UInt64>(c.requests.load());
    v["notifications_sent"] = static_cast<Json::UInt64>(c.delivery.sent.load());
    v["notifications_waiting"] = static_cast<Json::UInt64>(c.delivery.waiting.load());
    v["notifications_unsent"] = static_cast<Json::UInt64>(c.delivery.refused.load());
    v["notifications_dropped"] = static_cast<Json::UInt64>(c.dropped.load() + outbox_dropped);
    v["heartbeats"] = static_cast<Json::UInt64>(c.heartbeats.load());
    v["sequence"] = static_cast<Json::UInt64>(c.last_sequence.load());
    v["sequence_errors"] = static_cast<Json::UInt64>(c.sequence_errors.load());
    return v;
}

std::string snmp_prometheus_text(const SnmpCounters& c, uint64_t outbox_dropped) {
    const double values[] = {
        c.connected.load() ? 1.0 : 0.0,
        static_cast<double>(c.registrations.load()),
        static_cast<double>(c.disconnects.load()),
        static_cast<double>(c.requests.load()),
        static_cast<double>(c.delivery.sent.load()),
        static_cast<double>(c.delivery.waiting.load()),
        static_cast<double>(c.delivery.refused.load()),
        static_cast<double>(c.dropped.load() + outbox_dropped),
        static_cast<double>(c.heartbeats.load()),
        static_cast<double>(c.last_sequence.load()),
        static_cast<double>(c.sequence_errors.load()),
    };
    static_assert(sizeof values / sizeof values[0] == sizeof kFamilies / sizeof kFamilies[0],
                  "one value per family");
    return render_families(kFamilies, values, sizeof values / sizeof values[0]);
}

}  // namespace smdgw::snmp
