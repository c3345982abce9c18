#pragma once
// What the NUT server counts, for its stats line and /metrics: written by
// its own thread, read by any. Every anomaly a client can cause has one.

#include <json/value.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace smdgw::nut {

struct NutCounters {
    std::atomic<uint64_t> open{0};  // connections now
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> refused_total{0};       // over --nut-max-connections
    std::atomic<uint64_t> refused_per_client{0};  // over --nut-max-per-client
    std::atomic<uint64_t> commands{0};
    std::atomic<uint64_t> errors{0};  // ERR answers of any kind
    std::atomic<uint64_t> unknown_commands{0};
    std::atomic<uint64_t> invalid_arguments{0};  // wrong words, counts or quoting
    std::atomic<uint64_t> stale_answers{0};      // DATA-STALE and DRIVER-NOT-CONNECTED
    std::atomic<uint64_t> refused_writes{0};     // SET, INSTCMD, FSD, PRIMARY
    std::atomic<uint64_t> logins{0};
    std::atomic<uint64_t> logins_refused{0};
    std::atomic<uint64_t> line_too_long{0};
    std::atomic<uint64_t> rate_limited{0};  // times a connection waited for its allowance
    std::atomic<uint64_t> idle_closed{0};
    std::atomic<uint64_t> output_overflow{0};
    std::atomic<uint64_t> tls_started{0};
    std::atomic<uint64_t> tls_failed{0};  // handshakes that failed, bytes before them
};

// {"event":"stats","service":"nut","listen":ADDR,"connections":...}
Json::Value nut_stats_line(const NutCounters& c, const std::string& listen);
// The smdgw_nut_* families.
std::string nut_prometheus_text(const NutCounters& c);

}  // namespace smdgw::nut
