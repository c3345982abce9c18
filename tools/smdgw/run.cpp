#include "tools/smdgw/run.h"

#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <optional>
#include <vector>

#include "smd_source_revision.h"
#include "tools/smdgw/build_outputs.h"
#include "tools/smdgw/core/check_config.h"
#include "tools/smdgw/core/driver_log_capture.h"
#include "tools/smdgw/core/exit_status.h"
#include "tools/smdgw/core/gateway.h"
#include "tools/smdgw/core/gateway_clock.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/plugin_loader.h"
#include "tools/smdgw/core/port_runner.h"
#include "tools/smdgw/core/replay_pacer.h"
#include "tools/smdgw/core/service_watchdog.h"
#include "tools/smdgw/core/stop_signals.h"

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
                Outputs& outputs, DeviceStates& states, GatewayClock* clock,
                DriverLogCapture& driver_log) {
    Gateway gw(outputs.sink(), outputs.gateway_lines(), plugin, states);
    if (clock && clock->follows_line()) gw.set_line_clock(clock);
    if (o.count > 0)
        outputs.sink().on_published([&gw, count = o.count](uint64_t n) {
            if (n >= count) gw.request_stop();
        });
    // A device the driver refuses is a configuration error: a restart cannot
    // mend it, so the gateway does not start.
    const int failed = gw.create_devices(cfg, clock);
    if (failed > 0 || gw.devices().empty()) {
        log_error(cfg.path + ": " + std::to_string(failed) +
                  (failed == 1 ? " device" : " devices") +
                  " cannot be initialised; the gateway does not start");
        return kExitUsage;
    }
    // The battery's alarms go through each device's alarm store, after the
    // round that moved its estimate.
    if (!outputs.battery().empty())
        for (RunningDevice& rd : gw.devices())
            rd.driver->SetOwnAlarms([&outputs](const std::string& device) {
                return outputs.battery().alarms(device);
            });
    // A Prometheus file that cannot be written or an address that cannot be
    // served is not a usage error: a restart later may find them free.
    if (!outputs.start(gw)) return kExitFailure;
    // The driver's lines of each chunk of input are written when it is done;
    // the watchdog is fed while the input loop moves.
    ServiceWatchdog watchdog;
    gw.set_after_chunk([&driver_log, &watchdog] {
        if (take_reopen_request()) driver_log.reopen();
        driver_log.flush();
        watchdog.progress();
    });
    PortOptions port = o.port;
    port.on_tick = [&driver_log, &watchdog, &outputs] {
        if (take_reopen_request()) driver_log.reopen();
        watchdog.progress();
        outputs.tick();
    };
    ReplayPacer pacer(o.replay_speed, steady_waiter());
    port.more_stats = [&outputs] { outputs.write_stats(); };
    watchdog.ready();
    int status = kExitOk;
    const bool input_ok =
        o.replay_path.empty() ? run_ports(gw, port) : gw.replay(o.replay_path, &pacer);
    if (!input_ok) status = kExitFailure;
    outputs.finish();
    gw.write_stats();
    outputs.write_stats();
    run_after_actions(gw, o.after);
    return status;
}

int check_only(const Options& o) {
    std::string error;
    std::FILE* out = open_own_output(error);
    if (!out) {
        log_error(error);
        return kExitFailure;
    }
    int status =
        check_config({o.config_path, o.plugin_path, o.port_path, !o.replay_path.empty(), o.strict},
                     out);
    const bool config_ok = status == kExitOk;
    for (const auto& service : o.services)
        if (service->check_config(o.gateway(), config_ok, out) != kExitOk) status = kExitUsage;
    std::fclose(out);
    return status;
}

int print_version(const Options& o) {
    std::cout << "smdgw " << SMD_VERSION << " (source " << SMD_SOURCE_REVISION << ")\n";
    const std::string path = o.plugin_path.empty() ? default_plugin_path() : o.plugin_path;
    try {
        const LoadedPlugin p = load_plugin(path);
        std::cout << "plug-in " << p.path << " " << p.version << "\n";
    } catch (const std::exception& e) {
        std::cout << "plug-in: " << e.what() << "\n";
    }
    std::cout.flush();
    return std::cout ? kExitOk : kExitFailure;
}

}  // namespace

int run(const Options& o) {
    LogSettings log;
    // Telegraf reads every unprefixed stderr line as an error.
    log.telegraf = o.format == "influx";
    set_log(log);
    if (o.show_version) return print_version(o);
    for (const auto& service : o.services)
        if (service->runs_alone()) return service->run_alone();
    if (o.check_config) return check_only(o);

    GatewayConfig cfg;
    try {
        cfg = load_config(o.config_path, o.strict);
        report_config_warnings(cfg.warnings);
    } catch (const ConfigError& e) {
        report_config_error(e);
        return kExitUsage;
    }
    for (const auto& service : o.services)
        if (const auto end = service->read_config(cfg)) return *end;
    if (!master::check_master_input(cfg, o.port_path, !o.replay_path.empty())) return kExitUsage;
    // Following ports: each device on its own "port" or on --port. A port
    // that can never work stops the start; a missing one is waited for.
    if (o.replay_path.empty()) {
        const auto problems = port_problems(cfg, o.port_path);
        for (const auto& p : problems) log_error(p);
        if (!problems.empty()) return kExitUsage;
    }
    std::optional<HistoryStore> history;
    if (!o.history.path.empty()) {
        try {
            history.emplace(HistoryStore::open_for_writing(o.history.path));
            const auto& m = history->migration();
            if (m.from != 0)
                log_info("history: " + o.history.path + ": schema version " +
                         std::to_string(m.from) + " migrated to " +
                         std::to_string(HistoryStore::kSchemaVersion) +
                         "; the file as it was is kept as " + m.backup);
        } catch (const HistoryError& e) {
            log_error(std::string("history: ") + e.what());
            // A late mount or a full disk may pass; a file that is not a history will not.
            return e.file_unavailable() ? kExitFailure : kExitUsage;
        }
    }
    LoadedPlugin plugin;
    try {
        plugin = load_plugin(o.plugin_path.empty() ? default_plugin_path() : o.plugin_path);
    } catch (const std::exception& e) {
        log_error(e.what());
        return kExitUsage;
    }
    std::string error;
    // The driver's log: written in batches to the file or standard error, or
    // not at all (and then not even formatted).
    std::unique_ptr<DriverLogCapture> driver_log =
        capture_driver_log(o.log_path, o.log_rotation, log.telegraf ? "D! " : "", error);
    if (!driver_log) {
        log_error(error);
        return kExitFailure;
    }
    std::FILE* out = open_own_output(error);
    if (!out) {
        log_error(error);
        return kExitFailure;
    }
    install_stop_signals();
    int status;
    {
        const std::unique_ptr<GatewayClock> clock = make_clock(o);
        const HostClock* host_clock = clock.get();
        DeviceStates states;
        BatteryMonitor battery(cfg, host_clock ? *host_clock : system_host_clock(),
                               o.battery_state_path);
        // The families of every output for /metrics, once the outputs exist.
        const Outputs* running = nullptr;
        const ServiceContext context{
            cfg,
            states,
            [host_clock] { return now_ns(host_clock) / 1000000; },
            [host_clock] {
                return (host_clock ? *host_clock : system_host_clock()).monotonic_seconds();
            },
            host_clock,
            SMD_VERSION,
            o.replay_path.empty() ? o.port_path : o.replay_path,
            [&running] { return running ? running->service_metrics() : std::string(); },
            battery};
        // The services of the table, in its order (they take events, start,
        // stop and give their statistics in it).
        std::vector<std::unique_ptr<Service>> services;
        status = kExitOk;
        for (const auto& service : o.services) {
            OpenedService opened = service->open(context);
            if (opened.status != kExitOk) {
                status = opened.status;
                break;
            }
            if (opened.service) services.push_back(std::move(opened.service));
        }
        if (status == kExitOk) {
            Outputs outputs(o, cfg, out, host_clock, std::move(history), states, battery,
                            std::move(services));
            running = &outputs;
            status = run_gateway(o, cfg, plugin, outputs, states, clock.get(), *driver_log);
        }
    }
    std::fclose(out);
    return status;
}

}  // namespace smdgw
