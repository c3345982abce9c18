#include "tools/smdgw/run.h"

#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>

#include "tools/smdgw/build_outputs.h"
#include "tools/smdgw/core/exit_status.h"
#include "tools/smdgw/core/gateway.h"
#include "tools/smdgw/core/gateway_clock.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/log_redirect.h"
#include "tools/smdgw/core/plugin_loader.h"
#include "tools/smdgw/core/port_runner.h"
#include "tools/smdgw/core/replay_pacer.h"
#include "tools/smdgw/http/gateway_http.h"

namespace smdgw {

namespace {

// The system clock unless the time is scaled or given a start; a replay from
// a fixed start runs on the capture's line time.
std::unique_ptr<GatewayClock> make_clock(const Options& o) {
    if (o.clock_start) {
        auto clock =
            std::make_unique<GatewayClock>(static_cast<std::time_t>(*o.clock_start), o.time_scale);
        if (!o.replay_path.empty()) clock->follow_line();
        return clock;
    }
    if (o.time_scale != 1.0)
        return std::make_unique<GatewayClock>(std::time(nullptr), o.time_scale);
    return nullptr;
}

void run_after_actions(Gateway& gw, const std::vector<AfterAction>& actions) {
    for (const AfterAction& a : actions) {
        switch (a.kind) {
            case AfterAction::Get:
                gw.get_value(a.key);
                break;
            case AfterAction::Reset:
                gw.reset_all();
                break;
            case AfterAction::Control:
                gw.control(a.code, a.request);
                break;
        }
    }
}

// The devices, the input and the actions after it, on outputs that are set up.
int run_gateway(const Options& o, const GatewayConfig& cfg, const LoadedPlugin& plugin,
                Outputs& outputs, DeviceStates& states, GatewayClock* clock) {
    // --http: the service follows every device and sees smdgw's own lines.
    std::unique_ptr<http::GatewayHttp> web;
    if (o.http.enabled())
        web = std::make_unique<http::GatewayHttp>(o.http.service, clock, outputs.sink(),
                                                  outputs.lines(), states);
    Gateway gw(outputs.sink(), web ? web->lines() : outputs.lines(), plugin, states);
    if (clock && clock->follows_line()) gw.set_line_clock(clock);
    if (o.count > 0)
        outputs.sink().on_published([&gw, count = o.count](uint64_t n) {
            if (n >= count) gw.request_stop();
        });
    int status = kExitOk;
    if (gw.create_devices(cfg, clock) > 0) status = kExitFailure;
    if (gw.devices().empty()) {
        log_error("no device could be initialised");
        return kExitFailure;
    }
    if (web) web->add_devices(gw, o.replay_path.empty() ? o.port_path : o.replay_path);
    if (!outputs.start(gw)) return kExitFailure;
    if (web && !web->start(gw)) return kExitUsage;
    ReplayPacer pacer(o.replay_speed, steady_waiter());
    const bool input_ok =
        o.replay_path.empty() ? run_ports(gw, o.port) : gw.replay(o.replay_path, &pacer);
    if (!input_ok) status = kExitFailure;
    if (web) web->stop();
    outputs.finish();
    gw.write_stats();
    run_after_actions(gw, o.after);
    return status;
}

}  // namespace

int run(const Options& o) {
    LogSettings log;
    // Telegraf reads every unprefixed stderr line as an error.
    log.telegraf = o.format == "influx";
    set_log(log);

    GatewayConfig cfg;
    try {
        cfg = load_config(o.config_path);
        for (const auto& w : cfg.warnings) log_warning(w);
    } catch (const ConfigError& e) {
        log_error(e.what());
        return kExitUsage;
    }
    std::optional<HistoryStore> history;
    if (!o.history.path.empty()) {
        try {
            history.emplace(HistoryStore::open_for_writing(o.history.path));
        } catch (const HistoryError& e) {
            log_error(std::string("history: ") + e.what());
            return kExitUsage;
        }
    }
    LoadedPlugin plugin;
    try {
        plugin = load_plugin(o.plugin_path.empty() ? default_plugin_path() : o.plugin_path);
    } catch (const std::exception& e) {
        log_error(e.what());
        return kExitFailure;
    }
    std::string error;
    std::FILE* out = split_output(o.log_path, error);
    if (!out) {
        log_error(error);
        return kExitFailure;
    }
    int status;
    {
        const std::unique_ptr<GatewayClock> clock = make_clock(o);
        DeviceStates states;
        Outputs outputs(o, cfg, out, clock.get(), std::move(history), states);
        status = run_gateway(o, cfg, plugin, outputs, states, clock.get());
    }
    std::fflush(stdout);
    std::fclose(out);
    return status;
}

}  // namespace smdgw
