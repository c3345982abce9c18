// smdgw: a command-line gateway that loads the driver plug-in and runs it on
// a capture file, a serial port or a pseudo-terminal.

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/frame_codec.h"
#include "smd_source_revision.h"
#include "host/host_clock.h"
#include "tools/smdgw/core/check_config.h"
#include "tools/smdgw/core/config.h"
#include "tools/smdgw/output/event_writer.h"
#include "tools/smdgw/core/exit_status.h"
#include "tools/smdgw/core/fanout_sink.h"
#include "tools/smdgw/core/gateway.h"
#include "tools/smdgw/history/history_command.h"
#include "tools/smdgw/history/history_session.h"
#include "tools/smdgw/output/influx_writer.h"
#include "tools/smdgw/output/line_trace.h"
#include "tools/smdgw/core/driver_log_capture.h"
#include "tools/smdgw/core/log_file.h"
#include "tools/smdgw/core/service_watchdog.h"
#include "tools/smdgw/core/stop_signals.h"
#include "tools/smdgw/core/plugin_loader.h"
#include "tools/smdgw/core/port_runner.h"
#include "tools/smdgw/output/prometheus_file.h"
#include "tools/smdgw/core/replay_pacer.h"
#include "tools/smdgw/output/telegraf_log.h"
#include "tools/smdgw/output/text_view.h"

namespace {

using smdgw::kExitFailure;
using smdgw::kExitOk;
using smdgw::kExitUsage;

const char* const kDescription =
    "smdgw: a site-monitoring gateway for -48 V telecom DC power systems.\n"
    "Loads the driver plug-in, creates one driver per configured device and feeds it the\n"
    "line: a capture file (--replay, to its end) or a serial port / pseudo-terminal / FIFO\n"
    "or a serial server (--port, until SIGINT or SIGTERM; Reset is called every 10 s).\n"
    "Output is one JSON "
    "object per line on standard output: record, alarm, report and command events, and with\n"
    "--trace-host every call between plug-in and host; or a view for people (--format text),\n"
    "or Influx line protocol for Telegraf (--format influx). --prometheus keeps a file for\n"
    "node_exporter's textfile collector. The plug-in's own log goes to standard error, or\n"
    "to --log FILE.\n";

const char* const kFooter =
    "\nAfter the input ends, --get, --reset, --control and --control-hex run in the order\n"
    "given, on every device.\n"
    "\nExamples:\n"
    "  smdgw --config examples/gateway.json --replay examples/plant.cap --get out_v\n"
    "  smdgw --config examples/gateway.json --port /dev/ttyUSB0 --log driver.log\n"
    "  smdgw --config examples/gateway.json --replay examples/plant.cap --trace-host\n"
    "  smdgw --config /etc/smdgw/site.json --port /dev/ttyUSB0 --format influx --log /dev/null\n"
    "  smdgw --config examples/gateway.json --port /dev/ttyUSB0 \\\n"
    "        --prometheus /var/lib/node_exporter/textfile/smdgw.prom\n"
    "  smdgw --config examples/gateway.json --replay examples/plant.cap --replay-speed 1 -vv\n"
    "  smdgw --config examples/gateway.json --replay examples/plant.cap \\\n"
    "        --control 320 419500201003 --control-hex 300 0102030405060708\n"
    "\nStored history: smdgw history FILE [--device NAME] [--since TIME] [--until TIME]\n"
    "  [--format csv|json] exports what --history stored (smdgw history --help).\n"
    "\nExit status: 0 success, 1 a device or the input failed, 2 bad usage or configuration.\n";

// The gateway's clock: the devices' clock when time is scaled, else the system clock.
int64_t now_ns(const HostClock* clock) {
    if (clock) return static_cast<int64_t>(clock->unix_time()) * 1000000000;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int print_version(const std::string& plugin_path) {
    std::cout << "smdgw " << SMD_VERSION << " (source " << SMD_SOURCE_REVISION << ")\n";
    const std::string path = plugin_path.empty() ? smdgw::default_plugin_path() : plugin_path;
    try {
        const smdgw::LoadedPlugin p = smdgw::load_plugin(path);
        std::cout << "plug-in " << p.path << " " << p.version << "\n";
    } catch (const std::exception& e) {
        std::cout << "plug-in: " << e.what() << "\n";
    }
    std::cout.flush();
    return std::cout ? kExitOk : kExitFailure;
}

struct AfterAction {
    enum Kind { Get, Reset, Control, ControlHex } kind;
    std::string a;
    std::string b;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "history") {
        return smdgw::history_command(argc - 1, argv + 1);
    }
    CLI::App app{kDescription, "smdgw"};
    app.footer(kFooter);
    std::string config_path, plugin_path, replay_path, port_path, log_path;
    bool trace_host = false;
    std::string format = "json";
    smdgw::PortOptions port_opts;
    uint64_t count = 0;
    double time_scale = 1.0;
    std::string prometheus_path;
    int verbosity = 0;
    double replay_speed = 0.0;
    std::vector<std::string> gets;
    std::vector<std::string> controls;
    std::vector<std::string> control_hexes;
    app.add_option("--config", config_path, "Gateway configuration (JSON); required")
        ->type_name("FILE");
    bool show_version = false;
    app.add_flag("--version", show_version,
                 "Print the version of smdgw and of the plug-in, then exit");
    app.add_option("--plugin", plugin_path,
                   "Driver plug-in (default: the one built or installed beside smdgw)")
        ->type_name("PATH");
    auto* replay_opt =
        app.add_option("--replay", replay_path, "Capture file to replay")->type_name("FILE");
    auto* port_opt =
        app.add_option("--port", port_path,
                       "Serial port, pseudo-terminal, FIFO or serial server (tcp:HOST:PORT)")
            ->type_name("DEVICE");
    replay_opt->excludes(port_opt);
    app.add_flag("--trace-host", trace_host, "Also print every call between plug-in and host");
    app.add_option("--log", log_path,
                   "Write the driver's log to FILE (- for standard error); without it the log "
                   "is not written")
        ->type_name("FILE");
    std::string log_max_size = "50M";
    smdgw::LogRotation rotation;
    app.add_option("--log-max-size", log_max_size,
                   "Rotate the log FILE to FILE.1 ... when it would grow past SIZE (k, M, G: "
                   "powers of 1024; 0: never)")
        ->type_name("SIZE")
        ->capture_default_str();
    app.add_option("--log-keep", rotation.keep, "Rotated log files kept (FILE.1 ... FILE.N)")
        ->type_name("N")
        ->capture_default_str();
    app.add_option("--format", format,
                   "Output: json (one object per line), text (for people) or influx (line "
                   "protocol)")
        ->check(CLI::IsMember({"json", "text", "influx"}))
        ->type_name("FORMAT")
        ->capture_default_str();
    app.add_option("--prometheus", prometheus_path,
                   "After each round, write every device's values to FILE in the Prometheus "
                   "text format")
        ->type_name("FILE");
    app.add_flag("-v,--trace-line", verbosity,
                 "Trace every frame on stderr; repeat (-vv) to add the INFO bytes");
    app.add_option("--record", port_opts.record_path,
                   "Append every byte read from the port to FILE (replay it later)")
        ->type_name("FILE");
    app.add_option("--stats-interval", port_opts.stats_interval,
                   "Print per-device statistics every SECONDS on a port (0: only at the end)")
        ->check(CLI::NonNegativeNumber)
        ->type_name("SECONDS");
    app.add_option("--count", count, "Stop after N published rounds (all devices together)")
        ->type_name("N");
    app.add_option("--time-scale", time_scale,
                   "Run the host clock this many times faster (tests and simulations)")
        ->check(CLI::PositiveNumber)
        ->type_name("X");
    app.add_option("--replay-speed", replay_speed,
                   "Replay at X times the line's speed (9600 baud); 0: as fast as possible")
        ->check(CLI::NonNegativeNumber)
        ->needs(replay_opt)
        ->type_name("X")
        ->capture_default_str();
    auto* get_opt = app.add_option("--get", gets, "Print Get_Value(KEY) after the input ends")
                        ->type_name("KEY");
    auto* reset_opt = app.add_flag("--reset", "Call Reset after the input ends");
    auto* control_opt = app.add_option("--control", controls, "DeviceIoControl with a text request")
                            ->expected(2)
                            ->type_name("CODE TEXT");
    auto* control_hex_opt =
        app.add_option("--control-hex", control_hexes, "DeviceIoControl with request bytes")
            ->expected(2)
            ->type_name("CODE HEX");
    reset_opt->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    // Each occurrence takes its two values; occurrences add up.
    control_opt->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    control_hex_opt->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    bool check_only = false;
    app.add_flag("--check-config", check_only,
                 "Check the configuration, the threshold files and the ports named, print one "
                 "line per device and exit (0: the gateway would start, 2: it would not); opens "
                 "no port and writes no file");
    smdgw::HistoryOptions history_opts;
    smdgw::add_history_options(app, history_opts);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }
    if (show_version) return print_version(plugin_path);
    if (config_path.empty()) {
        std::cerr << "smdgw: --config FILE is required (see --help)" << std::endl;
        return kExitUsage;
    }
    if (check_only) {
        std::string error;
        std::FILE* summary_out = smdgw::open_own_output(error);
        if (!summary_out) {
            std::cerr << "smdgw: " << error << std::endl;
            return kExitFailure;
        }
        const int status = smdgw::check_config(
            {config_path, plugin_path, port_path, !replay_path.empty()}, summary_out);
        std::fclose(summary_out);
        return status;
    }
    if (!history_opts.check()) return kExitUsage;
    if (!smdgw::parse_log_size(log_max_size, rotation.max_size)) {
        std::cerr << "smdgw: --log-max-size \"" << log_max_size
                  << "\" is not a size (bytes, or a number with k, M or G)" << std::endl;
        return kExitUsage;
    }

    // The after-input actions in command-line order. The parse order lists an
    // option once per value it took, so a two-value option is complete at its
    // second value.
    std::vector<AfterAction> actions;
    size_t gi = 0, ci = 0, hi = 0, c_values = 0, h_values = 0;
    for (const CLI::Option* opt : app.parse_order()) {
        if (opt == get_opt && gi < gets.size()) {
            actions.push_back({AfterAction::Get, gets[gi++], {}});
        } else if (opt == reset_opt) {
            actions.push_back({AfterAction::Reset, {}, {}});
        } else if (opt == control_opt && ++c_values % 2 == 0 && ci + 2 <= controls.size()) {
            actions.push_back({AfterAction::Control, controls[ci], controls[ci + 1]});
            ci += 2;
        } else if (opt == control_hex_opt && ++h_values % 2 == 0 &&
                   hi + 2 <= control_hexes.size()) {
            actions.push_back({AfterAction::ControlHex, control_hexes[hi], control_hexes[hi + 1]});
            hi += 2;
        }
    }
    // Requests are checked before anything runs, so a typo costs no replay.
    std::vector<std::vector<unsigned char>> requests(actions.size());
    std::vector<int> codes(actions.size(), 0);
    for (size_t i = 0; i < actions.size(); ++i) {
        const AfterAction& a = actions[i];
        if (a.kind != AfterAction::Control && a.kind != AfterAction::ControlHex) continue;
        char* end = nullptr;
        const long code = std::strtol(a.a.c_str(), &end, 0);
        if (a.a.empty() || *end != '\0' || code < INT32_MIN || code > INT32_MAX) {
            std::cerr << "smdgw: control code \"" << a.a << "\" is not an integer" << std::endl;
            return kExitUsage;
        }
        codes[i] = static_cast<int>(code);
        if (a.kind == AfterAction::Control) {
            requests[i].assign(a.b.begin(), a.b.end());
        } else if (!smd::from_hex(a.b, requests[i])) {
            std::cerr << "smdgw: control request \"" << a.b << "\" is not hex bytes" << std::endl;
            return kExitUsage;
        }
    }

    smdgw::GatewayConfig cfg;
    try {
        cfg = smdgw::load_config(config_path);
        smdgw::report_config_warnings(cfg.warnings);
    } catch (const smdgw::ConfigError& e) {
        smdgw::report_config_error(e);
        return kExitUsage;
    }
    // Following ports: each device on its own "port" or on --port. A port
    // that can never work stops the start; a missing one is waited for.
    if (replay_path.empty()) {
        const auto problems = smdgw::port_problems(cfg, port_path);
        for (const auto& p : problems) std::cerr << "smdgw: " << p << std::endl;
        if (!problems.empty()) return kExitUsage;
    }
    std::optional<smdgw::HistoryStore> history_store;
    if (!history_opts.path.empty()) {
        try {
            history_store.emplace(smdgw::HistoryStore::open_for_writing(history_opts.path));
        } catch (const smdgw::HistoryError& e) {
            std::cerr << "smdgw: history: " << e.what() << std::endl;
            return kExitUsage;
        }
    }

    smdgw::LoadedPlugin plugin;
    try {
        plugin =
            smdgw::load_plugin(plugin_path.empty() ? smdgw::default_plugin_path() : plugin_path);
    } catch (const std::exception& e) {
        std::cerr << "smdgw: " << e.what() << std::endl;
        return kExitFailure;
    }

    std::string error;
    // The driver's log: written in batches to the file or standard error, or
    // not at all (and then not even formatted).
    std::unique_ptr<smdgw::DriverLogCapture> driver_log = smdgw::capture_driver_log(
        log_path, rotation, format == "influx" ? "D! " : "", error);
    if (!driver_log) {
        std::cerr << "smdgw: " << error << std::endl;
        return kExitFailure;
    }
    std::FILE* out = smdgw::open_own_output(error);
    if (!out) {
        std::cerr << "smdgw: " << error << std::endl;
        return kExitFailure;
    }
    smdgw::install_stop_signals();

    int status = kExitOk;
    {
        std::unique_ptr<HostClock> clock;
        if (time_scale != 1.0) clock = std::make_unique<ScaledClock>(time_scale);
        const HostClock* clock_ptr = clock.get();
        smdgw::EventWriter json_out(out, trace_host);
        smdgw::TextView text_out(out);
        smdgw::InfluxWriter influx_out(out, [clock_ptr] { return now_ns(clock_ptr); });
        smdgw::FanoutSink sink;
        smdgw::LineOutput* lines = &json_out;
        std::unique_ptr<smdgw::TelegrafLog> telegraf_log;
        if (format == "text") {
            sink.add(&text_out);
            lines = &text_out;
        } else if (format == "influx") {
            sink.add(&influx_out);
            lines = &influx_out;
            telegraf_log = std::make_unique<smdgw::TelegrafLog>();
        } else {
            sink.add(&json_out);
        }
        std::unique_ptr<smdgw::PrometheusFile> prometheus;
        if (!prometheus_path.empty()) {
            prometheus = std::make_unique<smdgw::PrometheusFile>(prometheus_path, SMD_VERSION);
            sink.add(prometheus.get());
        }
        std::unique_ptr<smdgw::LineTrace> line_trace;
        if (verbosity > 0)
            line_trace = std::make_unique<smdgw::LineTrace>(
                stderr, verbosity, [clock_ptr] { return now_ns(clock_ptr) / 1000000; },
                format == "influx" ? "D! " : "");
        std::unique_ptr<smdgw::HistorySession> history;
        if (history_store) {
            history = std::make_unique<smdgw::HistorySession>(std::move(*history_store),
                                                              history_opts, cfg);
            sink.add(&history->sink());
        }
        smdgw::Gateway gw(sink, *lines, plugin);
        // The driver's lines of each chunk of input are written when it is done.
        smdgw::DriverLogCapture* log_ptr = driver_log.get();
        smdgw::ServiceWatchdog watchdog;
        gw.set_after_chunk([log_ptr, &watchdog] {
            if (smdgw::take_reopen_request()) log_ptr->reopen();
            log_ptr->flush();
            watchdog.progress();
        });
        port_opts.on_tick = [log_ptr, &watchdog] {
            if (smdgw::take_reopen_request()) log_ptr->reopen();
            watchdog.progress();
        };
        if (count > 0)
            sink.on_published([&gw, count](uint64_t n) {
                if (n >= count) gw.request_stop();
            });
        // A device the driver refuses is a configuration error: a restart
        // cannot mend it, so the gateway does not start.
        const int failed = gw.create_devices(cfg, clock.get());
        if (failed > 0 || gw.devices().empty()) {
            std::cerr << "smdgw: " << cfg.path << ": " << failed
                      << (failed == 1 ? " device" : " devices")
                      << " cannot be initialised; the gateway does not start" << std::endl;
            std::fclose(out);
            return kExitUsage;
        }
        for (smdgw::RunningDevice& d : gw.devices()) {
            if (prometheus)
                prometheus->add_device(d.cfg.name, d.cfg.data_id, &d.driver->FrameCounters());
            if (line_trace) d.driver->SetFrameObserver(line_trace->watch(d.cfg.name));
        }
        // The file exists from the start, every device down until its first round.
        if (prometheus && !prometheus->write()) {
            std::fclose(out);
            return kExitFailure;
        }
        if (history) history->restore(gw, *lines);
        port_opts.default_port = port_path;
        port_opts.time_scale = time_scale;
        smdgw::ReplayPacer pacer(replay_speed, smdgw::steady_waiter());
        watchdog.ready();
        const bool input_ok =
            replay_path.empty() ? smdgw::run_ports(gw, port_opts) : gw.replay(replay_path, &pacer);
        if (!input_ok) status = kExitFailure;
        if (prometheus) prometheus->write();
        gw.write_stats();
        for (size_t i = 0; i < actions.size(); ++i) {
            switch (actions[i].kind) {
                case AfterAction::Get:
                    gw.get_value(actions[i].a);
                    break;
                case AfterAction::Reset:
                    gw.reset_all();
                    break;
                case AfterAction::Control:
                case AfterAction::ControlHex:
                    gw.control(codes[i], requests[i]);
                    break;
            }
        }
    }
    std::fclose(out);
    return status;
}
