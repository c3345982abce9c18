#include "tools/smdgw/build_outputs.h"

#include <chrono>

namespace smdgw {

int64_t now_ns(const HostClock* clock) {
    if (clock) return static_cast<int64_t>(clock->unix_time()) * 1000000000;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Outputs::Outputs(const Options& o, const GatewayConfig& cfg, std::FILE* out, const HostClock* clock,
                 std::optional<HistoryStore> history, const DeviceStates& states)
    : json_(out, o.trace_host),
      text_(out, states, o.lang == "en"),
      influx_(out, [clock] { return now_ns(clock); }) {
    const bool influx = o.format == "influx";
    if (o.format == "text") {
        sink_.add(&text_);
        lines_ = &text_;
    } else if (influx) {
        sink_.add(&influx_);
        lines_ = &influx_;
        // Telegraf reads every unprefixed stderr line as an error.
        if (o.log_path.empty()) log_relay_ = std::make_unique<PrefixedLogRelay>("D! ");
    } else {
        sink_.add(&json_);
    }
    if (!o.prometheus_path.empty()) {
        prometheus_ = std::make_unique<PrometheusFile>(o.prometheus_path, SMDGW_VERSION, states);
        sink_.add(prometheus_.get());
    }
    if (o.verbosity > 0) {
        line_trace_ = std::make_unique<LineTrace>(
            stderr, o.verbosity, [clock] { return now_ns(clock) / 1000000; }, influx ? "D! " : "");
        sink_.add(line_trace_.get());
    }
    if (history) {
        history_ = std::make_unique<HistorySession>(std::move(*history), o.history, cfg,
                                                    clock ? *clock : system_host_clock());
        sink_.add(&history_->sink());
    }
}

bool Outputs::start(Gateway& gw) {
    if (prometheus_ && !prometheus_->write()) return false;
    if (history_) history_->restore(gw, *lines_);
    return true;
}

void Outputs::finish() {
    if (prometheus_) prometheus_->write();
}

}  // namespace smdgw
