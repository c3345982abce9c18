#pragma once
// What the subagent counts, for its stats line and /metrics; written by the
// agent thread, read by any.

#include <json/value.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "tools/smdgw/outbox/delivery.h"

namespace smdgw::snmp {

struct SnmpCounters {
    std::atomic<bool> connected{false};
    std::atomic<uint64_t> registrations{0};  // sessions opened and registered
    std::atomic<uint64_t> disconnects{0};
    std::atomic<uint64_t> requests{0};  // calls of the request handler
    // Handed to snmpd, refused for good (a damaged row), waiting in the outbox.
    DeliveryCounters delivery;
    std::atomic<uint64_t> dropped{0};  // the queue was full
    std::atomic<uint64_t> heartbeats{0};
    std::atomic<uint64_t> sequence_errors{0};
    std::atomic<uint64_t> last_sequence{0};
};

// {"event":"stats","service":"snmp","agentx":ADDR,"connected":...}
// outbox_dropped: notifications the outbox dropped at its bound over its life.
Json::Value snmp_stats_line(const SnmpCounters& c, const std::string& address,
                            uint64_t outbox_dropped);
// The smdgw_snmp_* families.
std::string snmp_prometheus_text(const SnmpCounters& c, uint64_t outbox_dropped);

}  // namespace smdgw::snmp
