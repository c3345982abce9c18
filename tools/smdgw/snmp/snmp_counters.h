#pragma once
// What the subagent counts, for its stats line and /metrics; written by the
// agent thread, read by any.

#include <json/value.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace smdgw::snmp {

struct SnmpCounters {
    std::atomic<bool> connected{false};
    std::atomic<uint64_t> registrations{0};  // sessions opened and registered
    std::atomic<uint64_t> disconnects{0};
    std::atomic<uint64_t> requests{0};  // calls of the request handler
    std::atomic<uint64_t> sent{0};
    std::atomic<uint64_t> unsent{0};   // numbered while no snmpd was there
    std::atomic<uint64_t> dropped{0};  // the queue was full
    std::atomic<uint64_t> heartbeats{0};
    std::atomic<uint64_t> sequence_errors{0};
    std::atomic<uint64_t> last_sequence{0};
};

// {"event":"stats","service":"snmp","agentx":ADDR,"connected":...}
Json::Value snmp_stats_line(const SnmpCounters& c, const std::string& address);
// The smdgw_snmp_* families.
std::string snmp_prometheus_text(const SnmpCounters& c);

}  // namespace smdgw::snmp
