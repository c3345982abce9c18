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
#include "host/host_clock.h"
#include "tools/smdgw/core/config.h"
#include "tools/smdgw/output/event_writer.h"
#include "tools/smdgw/core/exit_status.h"
#include "tools/smdgw/core/fanout_sink.h"
#include "tools/smdgw/core/gateway.h"
#include "tools/smdgw/history/history_command.h"
#include "tools/smdgw/history/history_session.h"
#include "tools/smdgw/http/control_token.h"
#include "tools/smdgw/http/device_board.h"
#include "tools/smdgw/http/forwarding_output.h"
#include "tools/smdgw/http/http_service.h"
#include "tools/smdgw/output/influx_writer.h"
#include "tools/smdgw/output/line_trace.h"
#include "tools/smdgw/core/log_redirect.h"
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
    std::string lang = "zh";
    smdgw::PortOptions port_opts;
    uint64_t count = 0;
    double time_scale = 1.0;
    std::string prometheus_path;
    int verbosity = 0;
    double replay_speed = 0.0;
    std::vector<std::string> gets;
    std::vector<std::string> controls;
    std::vector<std::string> control_hexes;
    app.add_option("--config", config_path, "Gateway configuration (JSON)")
        ->required()
        ->type_name("FILE");
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
    app.add_option("--log", log_path, "Write the plug-in's log to FILE instead of stderr")
        ->type_name("FILE");
    app.add_option("--format", format,
                   "Output: json (one object per line), text (for people) or influx (line "
                   "protocol)")
        ->check(CLI::IsMember({"json", "text", "influx"}))
        ->type_name("FORMAT")
        ->capture_default_str();
    app.add_option("--lang", lang,
                   "Alarm texts of the text view: zh (the driver's messages) or en (their "
                   "English meaning)")
        ->check(CLI::IsMember({"zh", "en"}))
        ->type_name("LANG")
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
    smdgw::HistoryOptions history_opts;
    smdgw::add_history_options(app, history_opts);
    std::string http_listen, http_token_path;
    size_t http_max_streams = smdgw::http::kDefaultMaxStreams;
    auto* http_opt = app.add_option("--http", http_listen,
                                    "Serve the HTTP API, /metrics, an event stream and a status "
                                    "page on ADDR:PORT (e.g. 127.0.0.1:9418; port 0: any free)")
                         ->type_name("ADDR:PORT");
    app.add_option("--http-control-token", http_token_path,
                   "Open POST .../control to requests carrying the secret in FILE as a bearer "
                   "token (the file must be readable by its owner only)")
        ->needs(http_opt)
        ->type_name("FILE");
    app.add_option("--http-max-streams", http_max_streams,
                   "Event streams served at once; more are refused with 503")
        ->check(CLI::Range(1, 64))
        ->needs(http_opt)
        ->type_name("N")
        ->capture_default_str();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }
    if (replay_path.empty() && port_path.empty()) {
        std::cerr << "smdgw: give --replay FILE or --port DEVICE (see --help)" << std::endl;
        return kExitUsage;
    }
    if (!history_opts.check()) return kExitUsage;
    smdgw::http::HttpOptions http_opts;
    if (!http_listen.empty()) {
        std::string host, error;
        int port = 0;
        if (!smdgw::http::parse_listen(http_listen, host, port, error)) {
            std::cerr << "smdgw: " << error << std::endl;
            return kExitUsage;
        }
        if (!http_token_path.empty() &&
            !smdgw::http::load_control_secret(http_token_path, http_opts.control_secret, error)) {
            std::cerr << "smdgw: " << error << std::endl;
            return kExitUsage;
        }
        http_opts.listen = http_listen;
        http_opts.history_path = history_opts.path;
        http_opts.version = SMDGW_VERSION;
        http_opts.max_streams = http_max_streams;
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
        for (const auto& w : cfg.warnings) std::cerr << "smdgw: " << w << std::endl;
    } catch (const smdgw::ConfigError& e) {
        std::cerr << "smdgw: " << e.what() << std::endl;
        return kExitUsage;
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
    std::FILE* out = smdgw::split_output(log_path, error);
    if (!out) {
        std::cerr << "smdgw: " << error << std::endl;
        return kExitFailure;
    }

    int status = kExitOk;
    {
        std::unique_ptr<HostClock> clock;
        if (time_scale != 1.0) clock = std::make_unique<ScaledClock>(time_scale);
        const HostClock* clock_ptr = clock.get();
        smdgw::EventWriter json_out(out, trace_host);
        smdgw::TextView text_out(out, lang == "en");
        smdgw::InfluxWriter influx_out(out, [clock_ptr] { return now_ns(clock_ptr); });
        smdgw::FanoutSink sink;
        smdgw::LineOutput* lines = &json_out;
        std::unique_ptr<smdgw::TelegrafLog> telegraf_log;
        std::unique_ptr<smdgw::PrefixedLogRelay> log_relay;
        if (format == "text") {
            sink.add(&text_out);
            lines = &text_out;
        } else if (format == "influx") {
            sink.add(&influx_out);
            lines = &influx_out;
            telegraf_log = std::make_unique<smdgw::TelegrafLog>();
            // Telegraf reads every unprefixed stderr line as an error.
            if (log_path.empty()) log_relay = std::make_unique<smdgw::PrefixedLogRelay>("D! ");
        } else {
            sink.add(&json_out);
        }
        std::unique_ptr<smdgw::PrometheusFile> prometheus;
        if (!prometheus_path.empty()) {
            prometheus = std::make_unique<smdgw::PrometheusFile>(prometheus_path, SMDGW_VERSION);
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
        // --http: the board follows every device for the handlers, the queue
        // carries their work to the line thread.
        std::unique_ptr<smdgw::http::EventHub> hub;
        std::unique_ptr<smdgw::http::DeviceBoard> board;
        std::unique_ptr<smdgw::http::ForwardingOutput> forwarding;
        smdgw::http::LineQueue line_queue(8);
        if (!http_listen.empty()) {
            hub = std::make_unique<smdgw::http::EventHub>(http_max_streams, 512);
            board = std::make_unique<smdgw::http::DeviceBoard>(clock_ptr, *hub);
            sink.add(board.get());
            forwarding = std::make_unique<smdgw::http::ForwardingOutput>(*lines, *board);
            lines = forwarding.get();
        }
        smdgw::Gateway gw(sink, *lines, plugin);
        if (count > 0)
            sink.on_published([&gw, count](uint64_t n) {
                if (n >= count) gw.request_stop();
            });
        const int failed = gw.create_devices(cfg, clock.get());
        if (failed > 0) status = kExitFailure;
        if (gw.devices().empty()) {
            std::cerr << "smdgw: no device could be initialised" << std::endl;
            std::fclose(out);
            return kExitFailure;
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
        if (board) {
            for (smdgw::RunningDevice& d : gw.devices()) {
                smdgw::http::DeviceInfo info;
                info.name = d.cfg.name;
                info.data_id = d.cfg.data_id;
                if (d.cfg.entry["address"].isUInt()) info.address = d.cfg.entry["address"].asUInt();
                info.port = !replay_path.empty() ? replay_path
                                                 : (d.cfg.port.empty() ? port_path : d.cfg.port);
                info.role = d.cfg.entry.get("role", "listen").asString();
                board->add_device(info);
            }
        }
        if (history) history->restore(gw, *lines);
        std::unique_ptr<smdgw::http::HttpService> http;
        const auto drain_line_queue = [&] {
            line_queue.drain(
                [&gw](const std::string& device, int code,
                      const std::vector<unsigned char>& request) {
                    smdgw::RunningDevice* d = gw.find(device);
                    if (!d) return Json::Value(Json::objectValue);
                    return gw.control_device(*d, code, request);
                },
                [&lines](const std::string& device, Json::Value line) {
                    lines->write(device, std::move(line));
                });
        };
        if (board) {
            board->restore_done();
            gw.set_between_frames([&] {
                drain_line_queue();
                for (smdgw::RunningDevice& d : gw.devices())
                    board->sample(d.cfg.name, d.driver->FrameCounters());
                board->tick();
            });
            http = std::make_unique<smdgw::http::HttpService>(
                http_opts, *board, *hub, line_queue,
                [&gw](const std::string& device, const std::string& key) {
                    smdgw::RunningDevice* d = gw.find(device);
                    if (!d) throw std::invalid_argument("no device \"" + device + "\"");
                    return d->driver->Get_Value(0, key);
                });
            std::string error;
            if (!http->start(error)) {
                std::cerr << "smdgw: " << error << std::endl;
                std::fclose(out);
                return kExitUsage;
            }
            const std::string host = http->host().find(':') != std::string::npos
                                         ? "[" + http->host() + "]"
                                         : http->host();
            std::cerr << "smdgw: serving http://" << host << ":" << http->port() << "/"
                      << std::endl;
        }
        port_opts.default_port = port_path;
        port_opts.time_scale = time_scale;
        smdgw::ReplayPacer pacer(replay_speed, smdgw::steady_waiter());
        const bool input_ok =
            replay_path.empty() ? smdgw::run_ports(gw, port_opts) : gw.replay(replay_path, &pacer);
        if (!input_ok) status = kExitFailure;
        if (http) {
            http->stop();
            drain_line_queue();
        }
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
    std::fflush(stdout);
    std::fclose(out);
    return status;
}
