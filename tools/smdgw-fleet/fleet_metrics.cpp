#include "tools/smdgw-fleet/fleet_metrics.h"

#include "tools/smdgw/output/prometheus_render.h"
#include "tools/smdgw/output/record_samples.h"

namespace smdgw {

namespace {

constexpr MetricFamily kFamilies[] = {
    {"smdgw_fleet_broker_connected", "gauge", "1 while connected to the broker"},
    {"smdgw_fleet_messages_total", "counter", "Messages written (each once)"},
    {"smdgw_fleet_duplicates_total", "counter", "Messages that came again and were not written"},
    {"smdgw_fleet_unreadable_total", "counter", "Messages that could not be read"},
    {"smdgw_fleet_gaps_total", "counter", "pub_seq numbers never received"},
    {"smdgw_fleet_stream_restarts_total", "counter", "Streams a gateway began again from a lower pub_seq"},
    {"smdgw_fleet_drop_notices_total", "counter", "Drop notices received from gateways"},
    {"smdgw_fleet_gateway_dropped_total", "counter", "Messages the gateways' notices say they dropped"},
    {"smdgw_fleet_gateways", "gauge", "Gateways heard of since start"},
    {"smdgw_fleet_gateways_up", "gauge", "Gateways up (heard of recently, not offline)"},
    {"smdgw_fleet_lag_seconds", "gauge", "Age of the last message written at its arrival"},
    {"smdgw_fleet_message_lag_seconds", "histogram", "Age of messages at arrival", true},
    {"smdgw_fleet_write_batches_total", "counter", "Batches written to the database"},
    {"smdgw_fleet_write_lines_total", "counter", "Lines written to the database"},
    {"smdgw_fleet_write_errors_total", "counter", "Writes to the database that failed"},
    {"smdgw_fleet_write_refused_lines_total", "counter", "Lines in batches the database refused"},
    {"smdgw_fleet_write_failing", "gauge", "1 while the database cannot be written"},
    {"smdgw_fleet_buffered_bytes", "gauge", "Lines waiting for the database, in bytes"},
    {"smdgw_fleet_buffer_dropped_lines_total", "counter", "Lines dropped at the buffer's bound"},
};

}  // namespace

std::string render_fleet_metrics(const CollectorFigures& f, const PosterCounters& p,
                                 uint64_t buffered_bytes, bool connected) {
    const double values[] = {
        connected ? 1.0 : 0.0,
        static_cast<double>(f.written),
        static_cast<double>(f.duplicates),
        static_cast<double>(f.unreadable),
        static_cast<double>(f.gaps),
        static_cast<double>(f.restarts),
        static_cast<double>(f.dropped_notices),
        static_cast<double>(f.dropped_messages),
        static_cast<double>(f.gateways),
        static_cast<double>(f.gateways_up),
        f.lag_s,
        0.0,
        static_cast<double>(p.batches.load()),
        static_cast<double>(p.lines.load()),
        static_cast<double>(p.errors.load()),
        static_cast<double>(p.refused_lines.load()),
        p.failing.load() ? 1.0 : 0.0,
        static_cast<double>(buffered_bytes),
        static_cast<double>(f.buffer_dropped_lines),
    };
    static_assert(sizeof values / sizeof values[0] == sizeof kFamilies / sizeof kFamilies[0],
                  "a value per family");
    return render_families(kFamilies, values, sizeof values / sizeof values[0], [&](size_t) {
        // The histogram of the lag: cumulative buckets, sum and count.
        std::string out;
        uint64_t total = 0;
        for (size_t b = 0; b < f.lag_counts.size(); ++b) {
            total += f.lag_counts[b];
            const std::string le = b < kLagBuckets.size() ? shortest_text(kLagBuckets[b]) : "+Inf";
            out += "smdgw_fleet_message_lag_seconds_bucket{le=\"" + le + "\"} " +
                   std::to_string(total) + "\n";
        }
        out += "smdgw_fleet_message_lag_seconds_sum " + shortest_text(f.lag_sum_s) + "\n";
        out += "smdgw_fleet_message_lag_seconds_count " + std::to_string(total) + "\n";
        return out;
    });
}

}  // namespace smdgw
