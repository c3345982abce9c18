#pragma once
// Every bound the Modbus TCP server puts on a client, in one place;
// docs/modbus.md's table is rendered from kModbusLimits. A SCADA master polls
// a few blocks of registers every second or so, one request at a time: far
// below each of them.

#include <cstddef>

namespace smdgw::modbus {

// Requests a connection may send at once, and how fast the allowance comes
// back; past it the server reads no more from that client until it has.
constexpr double kRequestBurst = 50.0;
constexpr double kRequestsPerSecond = 25.0;
// Bytes read from a connection and not yet answered: a few whole requests
// (an MBAP frame is at most 260 bytes); the server stops reading past it.
constexpr size_t kMaxBufferedBytes = 4096;
// The kernel's send buffer of each connection: answers are at most 260 bytes,
// and a client that leaves them unread is dropped when it is full.
constexpr int kSocketSendBuffer = 16 * 1024;
// Defaults of the options.
constexpr unsigned kDefaultMaxConnections = 64;
constexpr unsigned kDefaultMaxPerClient = 8;
constexpr unsigned kDefaultIdleTimeoutS = 60;

struct ModbusLimit {
    const char* what;
    double value;
    const char* unit;
    const char* option;  // the option that changes it; null: fixed
    const char* past_it;
};

// For docs/modbus.md, which is rendered from it.
inline constexpr ModbusLimit kModbusLimits[] = {
    {"requests sent at once", kRequestBurst, "requests", nullptr,
     "the server reads no further from that client until its allowance returns "
     "(`rate_limited`)"},
    {"requests a second, after that", kRequestsPerSecond, "requests", nullptr, "as above"},
    {"MBAP length field", 254, "bytes", nullptr,
     "the connection is closed (`bad_length`); so is a protocol identifier other than 0 "
     "(`bad_protocol`)"},
    {"answers a client has not read", static_cast<double>(kSocketSendBuffer), "bytes", nullptr,
     "the connection is dropped (`unsent_answers`)"},
    {"connections in all", kDefaultMaxConnections, "connections", "--modbus-max-connections",
     "a new one is closed at once (`refused_total`)"},
    {"connections from one client address", kDefaultMaxPerClient, "connections",
     "--modbus-max-per-client", "a new one is closed at once (`refused_per_client`)"},
    {"silence of a connection", kDefaultIdleTimeoutS, "s", "--modbus-idle-timeout",
     "the connection is closed (`idle_closed`)"},
};

}  // namespace smdgw::modbus
