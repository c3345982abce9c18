#pragma once
// Every bound the NUT server puts on a client, in one place; docs/nut.md's
// table is rendered from kNutLimits. What a real client sends is far below
// each of them: upsmon a GET VAR every POLLFREQ seconds, Telegraf some fifty
// short commands a round, a LIST VAR answer is under 2 KiB.

#include <cstddef>

namespace smdgw::nut {

// A request line, LF included; a longer one ends the connection.
constexpr size_t kMaxLineBytes = 512;
// Commands a connection may send at once, and how fast the allowance comes
// back; past it the server reads no more from that client until it has.
constexpr double kCommandBurst = 200.0;
constexpr double kCommandsPerSecond = 50.0;
// Answers waiting for a client that does not read; past this the
// connection is dropped, so a client that never reads holds no more.
constexpr size_t kMaxPendingOutput = 64 * 1024;
// The kernel's send buffer of each connection (it holds answers too).
constexpr int kSocketSendBuffer = 32 * 1024;
// Defaults of the options.
constexpr unsigned kDefaultMaxConnections = 64;
constexpr unsigned kDefaultMaxPerClient = 16;
constexpr unsigned kDefaultIdleTimeoutS = 300;

struct NutLimit {
    const char* what;
    double value;
    const char* unit;
    const char* option;  // the option that changes it; null: fixed
    const char* past_it;
};

// For docs/nut.md, which is rendered from it.
inline constexpr NutLimit kNutLimits[] = {
    {"request line, LF included", static_cast<double>(kMaxLineBytes), "bytes", nullptr,
     "the connection is closed (`line_too_long`)"},
    {"commands sent at once", kCommandBurst, "commands", nullptr,
     "the server reads no further from that client until its allowance returns "
     "(`rate_limited`)"},
    {"commands a second, after that", kCommandsPerSecond, "commands", nullptr,
     "as above"},
    {"answers a client has not read", static_cast<double>(kMaxPendingOutput), "bytes", nullptr,
     "the connection is dropped (`output_overflow`)"},
    {"connections in all", kDefaultMaxConnections, "connections", "--nut-max-connections",
     "a new one is closed at once (`refused_total`)"},
    {"connections from one client address", kDefaultMaxPerClient, "connections",
     "--nut-max-per-client", "a new one is closed at once (`refused_per_client`)"},
    {"silence of a connection", kDefaultIdleTimeoutS, "s", "--nut-idle-timeout",
     "the connection is closed (`idle_closed`)"},
};

}  // namespace smdgw::nut
