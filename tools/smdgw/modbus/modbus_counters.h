#pragma once
// What the Modbus TCP server counts, for its stats line and /metrics:
// written by its own thread, read by any. Every anomaly a client can cause
// has one.

#include <json/value.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace smdgw::modbus {

struct ModbusCounters {
    std::atomic<uint64_t> open{0};  // connections now
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> refused_total{0};       // over --modbus-max-connections
    std::atomic<uint64_t> refused_per_client{0};  // over --modbus-max-per-client
    std::atomic<uint64_t> requests{0};            // whole frames answered
    std::atomic<uint64_t> exceptions{0};          // exception answers of any kind
    std::atomic<uint64_t> refused_writes{0};      // write function codes (exception 01)
    std::atomic<uint64_t> unknown_functions{0};   // other function codes (exception 01)
    std::atomic<uint64_t> bad_addresses{0};       // outside the map (exception 02)
    std::atomic<uint64_t> bad_values{0};          // quantity or PDU length (exception 03)
    std::atomic<uint64_t> unknown_units{0};       // no such unit (exception 0A)
    std::atomic<uint64_t> stale_answers{0};       // device not live (exception 0B)
    std::atomic<uint64_t> bad_protocol{0};        // protocol identifier not 0: closed
    std::atomic<uint64_t> bad_length{0};          // MBAP length out of range: closed
    std::atomic<uint64_t> rate_limited{0};  // times a connection waited for its allowance
    std::atomic<uint64_t> idle_closed{0};
    std::atomic<uint64_t> unsent_answers{0};  // an answer the socket would not take: dropped
};

// {"event":"stats","service":"modbus","listen":ADDR,"connections":...}
Json::Value modbus_stats_line(const ModbusCounters& c, const std::string& listen);
// The smdgw_modbus_* families.
std::string modbus_prometheus_text(const ModbusCounters& c);

}  // namespace smdgw::modbus
