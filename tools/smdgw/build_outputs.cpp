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
                 std::optional<HistoryStore> history, const DeviceStates& states,
                 BatteryMonitor& battery, std::vector<std::unique_ptr<Service>> services)
    : battery_(battery),
      json_(out, o.trace_host),
      text_(out, states, o.lang == "en", &battery),
      influx_(out, [clock] { return now_ns(clock); }) {
    const bool influx = o.format == "influx";
    // First, so every output of the same round sees its battery estimate.
    if (!battery_.empty()) {
        sink_.add(&battery_);
        json_.set_battery([this](const std::string& device) { return battery_.json(device); });
    }
    if (o.format == "text") {
        sink_.add(&text_);
        lines_ = &text_;
    } else if (influx) {
        sink_.add(&influx_);
        lines_ = &influx_;
    } else {
        sink_.add(&json_);
    }
    if (!o.prometheus_path.empty()) {
        prometheus_ = std::make_unique<PrometheusFile>(o.prometheus_path, SMD_VERSION, states,
                                                       o.prometheus_interval);
        sink_.add(prometheus_.get());
    }
    if (o.verbosity > 0) {
        line_trace_ = std::make_unique<LineTrace>(
            stderr, o.verbosity, [clock] { return now_ns(clock) / 1000000; }, influx ? "D! " : "");
        sink_.add(line_trace_.get());
    }
    if (history) {
        history_ = std::make_unique<HistorySession>(std::move(*history), o.history, cfg,
                                                    clock ? *clock : system_host_clock(), &battery);
        sink_.add(&history_->sink());
    }
    services_ = std::move(services);
    gateway_lines_ = lines_;
    for (const auto& s : services_) {
        if (HostSink* events = s->sink()) sink_.add(events);
        if (LineOutput* through = s->lines_through(*gateway_lines_)) gateway_lines_ = through;
    }
}

bool Outputs::start(Gateway& gw) {
    for (const auto& s : services_) s->add_devices(gw);
    if (history_) {
        history_->add_stats(gw);
    }
    if (prometheus_) prometheus_->set_service_metrics([this] { return service_metrics(); });
    if (prometheus_ && !prometheus_->write()) return false;
    for (const auto& s : services_) s->set_restoring(true);
    if (history_) history_->restore(gw, *lines_);
    for (const auto& s : services_) s->set_restoring(false);
    for (const auto& s : services_)
        if (!s->start()) return false;
    return true;
}

void Outputs::tick() {
    if (prometheus_) prometheus_->tick();
}

void Outputs::finish() {
    for (auto s = services_.rbegin(); s != services_.rend(); ++s) (*s)->stop();
    if (prometheus_) prometheus_->write();
}

std::string Outputs::service_metrics() const {
    std::string text;
    if (history_)
        text += "# HELP smdgw_history_errors_total Failed attempts to write the history database\n"
                "# TYPE smdgw_history_errors_total counter\n"
                "smdgw_history_errors_total " +
                std::to_string(history_->errors()) + "\n";
    text += battery_.prometheus_text();
    for (const auto& s : services_) text += s->prometheus_text();
    return text;
}

void Outputs::write_stats() {
    for (const auto& s : services_)
        if (const auto line = s->stats()) lines_->write("", *line);
}

}  // namespace smdgw
