#pragma once
// A service's counters as one table of rows: its stats key, its Prometheus
// family and the counter. The stats line and the families are both rendered
// from the table, so the two name the same counters.
//
//   const CounterRow<NutCounters> kRows[] = {
//       {"accepted", {"smdgw_nut_connections_accepted_total", "counter", "..."},
//        &NutCounters::accepted}, ...};

#include <json/value.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/smdgw/output/prometheus_render.h"

namespace smdgw {

template <class Counters>
struct CounterRow {
    const char* key;
    MetricFamily family;
    std::atomic<uint64_t> Counters::*counter;
};

// {"event":"stats","service":SERVICE,"listen":LISTEN, key: count, ...}
template <class Counters, size_t N>
Json::Value counter_stats_line(const CounterRow<Counters> (&rows)[N], const Counters& c,
                               const char* service, const std::string& listen) {
    Json::Value v;
    v["event"] = "stats";
    v["service"] = service;
    v["listen"] = listen;
    for (const CounterRow<Counters>& r : rows)
        v[r.key] = static_cast<Json::UInt64>((c.*r.counter).load());
    return v;
}

template <class Counters, size_t N>
std::string counter_families(const CounterRow<Counters> (&rows)[N], const Counters& c) {
    std::vector<MetricFamily> families(N);
    std::vector<double> values(N);
    for (size_t i = 0; i < N; ++i) {
        families[i] = rows[i].family;
        values[i] = static_cast<double>((c.*rows[i].counter).load());
    }
    return render_families(families.data(), values.data(), N);
}

}  // namespace smdgw
