// smdgw-fleet: the fleet collector. The gateways' messages from the broker,
// once each, into VictoriaMetrics (or InfluxDB 1.x) as Influx line protocol.

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "tools/smdgw-fleet/fleet_collector.h"
#include "tools/smdgw-fleet/fleet_metrics.h"
#include "tools/smdgw-fleet/fleet_options.h"
#include "tools/smdgw-fleet/fleet_subscriber.h"
#include "tools/smdgw-fleet/influx_poster.h"
#include "tools/smdgw-fleet/line_buffer.h"
#include "tools/smdgw-fleet/status_http.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/stop_signals.h"

namespace {

// A batch posted to the database holds at most this much.
constexpr size_t kBatchBytes = 1024 * 1024;
// What is buffered at a stop gets this long to reach the database.
constexpr int kDrainMs = 5000;

}  // namespace

int main(int argc, char** argv) {
    using namespace smdgw;
    FleetOptions o;
    bool exit_now = false;
    const int status = parse_fleet_options(argc, argv, o, exit_now);
    if (exit_now) return status;
    install_stop_signals();

    LineBuffer buffer(o.buffer_max_bytes);
    FleetCollector collector(o.prefix, o.sharded, o.silent_after_s, buffer);
    InfluxPoster poster(o.influx_url, buffer, kBatchBytes);
    FleetSubscriber subscriber(o, [&](const std::string& topic, const std::string& payload) {
        collector.take(topic, payload);
    });
    StatusHttp http([&](const std::string& path) {
        if (path == "/metrics")
            return HttpAnswer{200, "text/plain; version=0.0.4; charset=utf-8",
                              render_fleet_metrics(collector.figures(), poster.counters(),
                                                   buffer.bytes(), subscriber.connected())};
        if (path == "/healthz") {
            // Healthy: connected to the broker and writing to the database.
            const bool ok = subscriber.connected() && !poster.counters().failing;
            return HttpAnswer{ok ? 200 : 503, "text/plain; charset=utf-8",
                              std::string(subscriber.connected() ? "broker ok" : "broker down") +
                                  (poster.counters().failing ? ", database failing\n"
                                                             : ", database ok\n")};
        }
        return HttpAnswer{404, "text/plain; charset=utf-8", "not found\n"};
    });

    if (!o.state_file.empty()) {
        std::ifstream in(o.state_file, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        if (const size_t bad = collector.load_state(text.str()))
            log_warning("fleet: --state " + o.state_file + ": " + count_text(bad, "line") +
                        " could not be read");
    }
    std::string error;
    if (!o.http_addr.empty() && !http.start(o.http_addr, error)) {
        std::fprintf(stderr, "smdgw-fleet: --http \"%s\": %s\n", o.http_addr.c_str(),
                     error.c_str());
        return 1;
    }
    poster.start();
    if (!subscriber.start(error)) {
        std::fprintf(stderr, "smdgw-fleet: %s\n", error.c_str());
        poster.stop(0);
        return 1;
    }
    log_info("fleet: collecting " + (o.sharded ? "shards " + o.shards : std::string("all")) +
             " of " + o.prefix + " into " + o.influx_url);

    // What was written before a restart stays written once.
    const auto save_state = [&] {
        if (o.state_file.empty()) return;
        const std::string tmp = o.state_file + ".tmp";
        std::FILE* f = std::fopen(tmp.c_str(), "w");
        const std::string text = collector.save_state();
        const bool ok = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
        if (f && std::fclose(f) != 0) f = nullptr;
        if (!ok || !f || std::rename(tmp.c_str(), o.state_file.c_str()) != 0)
            log_warning("fleet: cannot write --state " + o.state_file);
    };
    auto next_tick = std::chrono::steady_clock::now();
    while (stop_signal() == 0) {
        if (std::chrono::steady_clock::now() >= next_tick) {
            collector.tick();
            save_state();
            next_tick += std::chrono::milliseconds(static_cast<int64_t>(o.tick_s * 1000.0));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    subscriber.stop();
    collector.tick();
    save_state();
    poster.stop(kDrainMs);
    http.stop();
    const CollectorFigures f = collector.figures();
    log_info("fleet: stopped; " + count_text(f.written, "message") + " written, " +
             count_text(f.duplicates, "repeat") + ", " + count_text(f.gaps, "gap") + ", " +
             count_text(buffer.dropped_lines(), "line") + " dropped at the buffer's bound, " +
             std::to_string(buffer.bytes()) + " bytes not written");
    return 0;
}
