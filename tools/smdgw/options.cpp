#include "tools/smdgw/options.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "host/frame_codec.h"
#include "tools/smdgw/control_args.h"
#include "tools/smdgw/core/exit_status.h"
#include "tools/smdgw/core/host_name.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/size_text.h"
#include "tools/smdgw/history/history_time.h"

namespace smdgw {

namespace {

const char* const kDescription =
    "smdgw: a site-monitoring gateway for -48 V telecom DC power systems.\n"
    "Loads the driver plug-in, creates one driver per configured device and feeds it the\n"
    "line: a capture file (--replay, to its end) or a serial port / pseudo-terminal / FIFO\n"
    "or a serial server (--port, until SIGINT or SIGTERM; Reset is called every 10 s).\n"
    "Output is one JSON "
    "object per line on standard output: record, alarm, report and command events, and with\n"
    "--trace-host every call between plug-in and host; or a view for people (--format text),\n"
    "or Influx line protocol for Telegraf (--format influx). --prometheus keeps a file for\n"
    "node_exporter's textfile collector. --mqtt publishes to a broker through a durable\n"
    "outbox (store and forward). --snmp-agentx serves sensor, device and alarm tables and\n"
    "numbered traps through snmpd (AgentX). The configuration's \"notify\" sends alarm changes\n"
    "by mail and webhook through a durable outbox (--notify-outbox). --nut-listen serves\n"
    "each device as a UPS over the NUT network protocol (upsc, upsmon, Home Assistant,\n"
    "Telegraf). --modbus-listen serves each device read-only as a Modbus TCP unit (building\n"
    "management, SCADA). The driver's own log is written only with --log FILE (rotated by size; SIGHUP\n"
    "reopens it) or --log - (standard error).\n";

const char* const kFooter =
    "\nAfter the input ends, --get, --reset, --control, --control-file and --control-hex run\n"
    "in the order given, on every device. A control text reaches the driver byte for byte:\n"
    "brackets, commas and a leading - are part of it (quote it for the shell).\n"
    "\nExamples:\n"
    "  smdgw --config examples/gateway.json --replay examples/plant.cap --get out_v\n"
    "  smdgw --config examples/gateway.json --port /dev/ttyUSB0 --log driver.log\n"
    "  smdgw --config /etc/smdgw/site1.json --port /dev/ttyUSB0 \\\n"
    "        --log /var/log/smdgw/site1.log --log-max-size 100M --log-keep 3\n"
    "  smdgw --check-config --config /etc/smdgw/site1.json --port /dev/ttyUSB0\n"
    "  smdgw --config examples/gateway.json --replay examples/plant.cap --trace-host\n"
    "  smdgw --config /etc/smdgw/site.json --port /dev/ttyUSB0 --format influx\n"
    "  smdgw --config examples/gateway.json --port /dev/ttyUSB0 \\\n"
    "        --prometheus /var/lib/node_exporter/textfile/smdgw.prom\n"
    "  smdgw --config /etc/smdgw/site.json --port /dev/ttyUSB0 --history site.db \\\n"
    "        --mqtt mqtts://broker.example.net --mqtt-auth /etc/smdgw/mqtt.auth\n"
    "  smdgw --config /etc/smdgw/site.json --port /dev/ttyUSB0 --history site.db \\\n"
    "        --mqtt mqtt://homeassistant.local --mqtt-ha-discovery   (Home Assistant)\n"
    "  smdgw --config examples/demo.json --port /dev/ttyUSB0 --http 127.0.0.1:9418\n"
    "  smdgw --config /etc/smdgw/site.json --port /dev/ttyUSB0 --http 0.0.0.0:9443 \\\n"
    "        --http-host gw1.site1.example --http-tls-cert gw1.pem --http-tls-key gw1.key\n"
    "  smdgw --config /etc/smdgw/site.json --port /dev/ttyUSB0 --history site.db \\\n"
    "        --snmp-agentx /var/agentx/master --snmp-heartbeat 60\n"
    "  smdgw --config /etc/smdgw/site.json --port /dev/ttyUSB0 --history site.db \\\n"
    "        --public-url https://gw1.site1.example:9443/   (\"notify\" in site.json)\n"
    "  smdgw --config /etc/smdgw/site.json --history site.db --test-notify oncall-mail\n"
    "  smdgw --config /etc/smdgw/site.json --port /dev/ttyUSB0 --nut-listen\n"
    "        (then: upsc plant1@localhost)\n"
    "  smdgw --config /etc/smdgw/site.json --port /dev/ttyUSB0 --nut-listen 0.0.0.0:3493 \\\n"
    "        --nut-users /etc/smdgw/nut.users   (upsmon on the site's servers)\n"
    "  smdgw --config /etc/smdgw/site.json --port /dev/ttyUSB0 --modbus-listen 0.0.0.0:1502\n"
    "        (then: mbpoll, or the SCADA, on port 1502; docs/modbus.md)\n"
    "  smdgw --snmp-mib --snmp-root 1.3.6.1.4.1.99999.1 > SMDGW-MIB.txt\n"
    "  smdgw --config examples/gateway.json --replay examples/plant.cap --replay-speed 1 -vv\n"
    "  smdgw --config examples/gateway.json --replay examples/plant.cap \\\n"
    "        --control 320 419500201003 --control-hex 300 01020304050607\n"
    "  smdgw --config examples/gateway.json --replay examples/plant.cap \\\n"
    "        --control 310 '{\"signal_id\":\"4196A3101001\",\"SetValue\":\"53.5\"}'\n"
    "  smdgw --config examples/gateway.json --replay examples/plant.cap \\\n"
    "        --control-file 310 examples/set-point.json\n"
    "\nStored history: smdgw history FILE [--device NAME] [--since TIME] [--until TIME]\n"
    "  [--format csv|json] exports what --history stored (smdgw history --help).\n"
    "\nExit status: 0 normal end (end of the replay, SIGINT, SIGTERM); 1 a failure a restart\n"
    "may mend (the input failed, an output file could not be opened, the --http address is\n"
    "taken); 2 what a restart cannot mend (bad options or configuration, a plug-in that\n"
    "cannot be loaded, a device the driver refuses).\n";

// A control code as given: decimal, 0x hex or 0 octal, within int.
bool parse_code(const std::string& text, int& code) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno == ERANGE || v < INT32_MIN || v > INT32_MAX)
        return false;
    code = static_cast<int>(v);
    return true;
}

// --count: a whole number of rounds, at least 1.
constexpr uint64_t kMaxCount = 1000000000000ULL;
bool parse_count(const std::string& text, uint64_t& count) {
    if (text.empty() || text.size() > 13) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    const uint64_t v = std::stoull(text);
    if (v == 0 || v > kMaxCount) return false;
    count = v;
    return true;
}

// The after-input options as given, before they are put in command-line order.
struct RawActions {
    std::vector<std::string> gets, control_hexes, slots;
    CLI::Option *get = nullptr, *reset = nullptr, *slot = nullptr, *control_hex = nullptr;
};

// A request as given with --control (the text) or --control-file (read now).
bool control_request(const ControlArg& c, std::vector<unsigned char>& request) {
    std::string text = c.value;
    std::string error;
    if (c.from_file && !read_control_file(c.value, text, error)) {
        log_error(error);
        return false;
    }
    request.assign(text.begin(), text.end());
    return true;
}

// The after-input actions in command-line order, requests checked before
// anything runs so that a typo costs no replay. The parse order lists an
// option once per value it took, so a two-value option is complete at its
// second value.
bool order_actions(const CLI::App& app, const RawActions& raw, const ControlArgs& verbatim,
                   std::vector<AfterAction>& out) {
    size_t gi = 0, si = 0, hi = 0, h_values = 0;
    for (const CLI::Option* opt : app.parse_order()) {
        AfterAction a;
        if (opt == raw.get && gi < raw.gets.size()) {
            a.kind = AfterAction::Get;
            a.key = raw.gets[gi++];
        } else if (opt == raw.reset) {
            a.kind = AfterAction::Reset;
        } else if (opt == raw.slot && si < raw.slots.size()) {
            const size_t index = std::strtoul(raw.slots[si++].c_str(), nullptr, 10);
            if (index >= verbatim.controls.size()) continue;
            const ControlArg& c = verbatim.controls[index];
            a.kind = AfterAction::Control;
            if (!parse_code(c.code, a.code)) {
                log_error("control code \"" + c.code + "\" is not an integer");
                return false;
            }
            if (!control_request(c, a.request)) return false;
        } else if (opt == raw.control_hex && ++h_values % 2 == 0 &&
                   hi + 2 <= raw.control_hexes.size()) {
            const std::string& code_text = raw.control_hexes[hi];
            const std::string& request_text = raw.control_hexes[hi + 1];
            hi += 2;
            a.kind = AfterAction::Control;
            if (!parse_code(code_text, a.code)) {
                log_error("control code \"" + code_text + "\" is not an integer");
                return false;
            }
            if (!smd::from_hex(request_text, a.request)) {
                log_error("control request \"" + request_text + "\" is not hex bytes");
                return false;
            }
        } else {
            continue;
        }
        out.push_back(std::move(a));
    }
    return true;
}

}  // namespace

std::optional<int> parse_options(int argc, char** argv, Options& o) {
    CLI::App app{kDescription, "smdgw"};
    app.footer(kFooter);
    std::string clock_start;
    RawActions raw;
    // Required, except with --version; checked after parsing.
    app.add_option("--config", o.config_path, "Gateway configuration (JSON); required")
        ->type_name("FILE");
    app.add_flag("--version", o.show_version,
                 "Print the version of smdgw and of the plug-in, then exit");
    app.add_flag("--check-config", o.check_config,
                 "Check the configuration, the threshold files and every port (that it exists "
                 "or is tcp:, its kind, owner, group and mode, and whether the service's user "
                 "can open it), print one line per device and exit (0: nothing wrong, warnings "
                 "allowed; 2: the gateway would not start or not work); opens no port and "
                 "writes no file");
    app.add_flag("--strict", o.strict,
                 "Refuse keys in \"appSetting\" and \"thresholdSetting\" that the driver "
                 "does not read (otherwise warnings)");
    app.add_option("--plugin", o.plugin_path,
                   "Driver plug-in (default: the one built or installed beside smdgw)")
        ->type_name("PATH");
    auto* replay_opt =
        app.add_option("--replay", o.replay_path, "Capture file to replay")->type_name("FILE");
    auto* port_opt =
        app.add_option("--port", o.port_path,
                       "Serial port, pseudo-terminal, FIFO or serial server (tcp:HOST:PORT)")
            ->type_name("DEVICE");
    replay_opt->excludes(port_opt);
    app.add_flag("--trace-host", o.trace_host, "Also print every call between plug-in and host");
    app.add_option("--log", o.log_path,
                   "Write the driver's log to FILE (- for standard error); without it the log "
                   "is not written")
        ->type_name("FILE");
    std::string log_max_size = "50M";
    app.add_option("--log-max-size", log_max_size,
                   "Rotate the log FILE to FILE.1 ... when it would grow past SIZE (k, M, G: "
                   "powers of 1024; 0: never)")
        ->type_name("SIZE")
        ->capture_default_str();
    app.add_option("--log-keep", o.log_rotation.keep, "Rotated log files kept (FILE.1 ... FILE.N)")
        ->type_name("N")
        ->capture_default_str();
    app.add_option("--format", o.format,
                   "Output: json (one object per line), text (for people) or influx (line "
                   "protocol)")
        ->check(CLI::IsMember({"json", "text", "influx"}))
        ->type_name("FORMAT")
        ->capture_default_str();
    app.add_option("--lang", o.lang,
                   "Alarm texts of the text view: zh (the driver's messages) or en (their "
                   "English meaning)")
        ->check(CLI::IsMember({"zh", "en"}))
        ->type_name("LANG")
        ->capture_default_str();
    app.add_option("--prometheus", o.prometheus_path,
                   "Keep every device's values and line health in FILE in the Prometheus "
                   "text format (rewritten for new values at most every "
                   "--prometheus-interval, at once for a state or alarm change)")
        ->type_name("FILE");
    app.add_option("--battery-state", o.battery_state_path,
                   "Keep the battery capacities learned from discharges in FILE across "
                   "restarts (devices with \"battery\"; e.g. /var/lib/smdgw/battery.json)")
        ->type_name("FILE");
    app.add_option("--prometheus-interval", o.prometheus_interval,
                   "Least SECONDS between two rewrites of the --prometheus file for new values "
                   "(0: after every round)")
        ->check(CLI::Range(0.0, 3600.0))
        ->capture_default_str()
        ->type_name("SECONDS");
    app.add_flag("-v,--trace-line", o.verbosity,
                 "Trace every frame on stderr; repeat (-vv) to add the INFO bytes");
    auto* record_opt =
        app.add_option("--record", o.port.record_path,
                       "Append every byte read from the port to FILE, a capture recording to "
                       "--replay later")
            ->type_name("FILE");
    app.add_option("--stats-interval", o.port.stats_interval,
                   "Print per-device statistics every SECONDS on a port (0: only at the end)")
        ->check(CLI::NonNegativeNumber)
        ->type_name("SECONDS");
    std::string count_text;
    app.add_option("--count", count_text,
                   "Stop after N published live rounds (all devices together; restored rounds "
                   "do not count); N at least 1")
        ->type_name("N");
    app.add_option("--time-scale", o.time_scale,
                   "Run the host clock this many times faster (tests and simulations)")
        ->check(CLI::PositiveNumber)
        ->type_name("X");
    app.add_option("--clock-start", clock_start,
                   "Start the host clock at this time (YYYY-MM-DDTHH:MM:SS local, or with Z "
                   "UTC); a replay then runs on the line time of the capture, the same on "
                   "every run")
        ->type_name("TIME");
    app.add_option("--replay-speed", o.replay_speed,
                   "Replay at X times the line's speed (9600 baud); 0: as fast as possible")
        ->check(CLI::NonNegativeNumber)
        ->needs(replay_opt)
        ->type_name("X")
        ->capture_default_str();
    raw.get = app.add_option("--get", raw.gets, "Print Get_Value(KEY) after the input ends")
                  ->type_name("KEY");
    raw.reset = app.add_flag("--reset", "Call Reset after the input ends");
    // Shown in --help; their values are taken out before parsing (control_args.h).
    std::vector<std::string> shown_only;
    app.add_option("--control", shown_only,
                   "DeviceIoControl with a text request, passed byte for byte (brackets, "
                   "commas, a leading - and all)")
        ->expected(2)
        ->type_name("CODE TEXT");
    app.add_option("--control-file", shown_only,
                   "DeviceIoControl with the request text held in FILE (one final line ending "
                   "dropped)")
        ->expected(2)
        ->type_name("CODE FILE");
    raw.slot = app.add_option(kControlSlot, raw.slots)->group("");
    raw.slot->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    raw.control_hex =
        app.add_option("--control-hex", raw.control_hexes, "DeviceIoControl with request bytes")
            ->expected(2)
            ->type_name("CODE HEX");
    raw.reset->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    // Each occurrence takes its two values; occurrences add up.
    raw.control_hex->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    add_history_options(app, o.history);
    app.add_option("--gateway-id", o.gateway_id,
                   "This gateway's identity in topics, as MQTT client ID and in the "
                   "notifications' idempotency keys and Message-IDs; unique per gateway "
                   "(default: the host name)")
        ->type_name("ID");
    master::add_master_options(app, o.master);
    o.services = make_service_modules();
    for (const auto& service : o.services) service->add_options(app);

    ControlArgs verbatim;
    std::string verbatim_error;
    if (!take_control_args(argc, argv, verbatim, verbatim_error)) {
        log_error(verbatim_error);
        return kExitUsage;
    }
    std::vector<char*> rest;
    for (std::string& a : verbatim.rest) rest.push_back(a.data());
    try {
        app.parse(static_cast<int>(rest.size()), rest.data());
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }
    // Taken out before CLI11 parsed, like --control.
    o.master.control_at = verbatim.control_at;
    if (o.show_version) return std::nullopt;
    for (const auto& service : o.services)
        if (service->runs_alone()) return std::nullopt;
    if (o.config_path.empty()) {
        log_error("--config FILE is required (see --help)");
        return kExitUsage;
    }
    if (!o.replay_path.empty() && record_opt->count() > 0) {
        log_error("--record keeps the bytes read from a port; a --replay has nothing to record");
        return kExitUsage;
    }
    if (!count_text.empty() && !parse_count(count_text, o.count)) {
        log_error("--count \"" + count_text + "\" is not a number of rounds from 1 to " +
                  std::to_string(kMaxCount));
        return kExitUsage;
    }
    // CLI11 takes a two-value option given with one value; the request would be lost.
    if (raw.control_hexes.size() % 2 != 0) {
        log_error("--control-hex CODE HEX needs both its values (\"" + raw.control_hexes.back() +
                  "\" has no partner)");
        return kExitUsage;
    }
    switch (read_size_text(log_max_size, o.log_rotation.max_size)) {
        case SizeText::Ok:
            break;
        case SizeText::Zero:
            o.log_rotation.max_size = 0;  // never rotate
            break;
        case SizeText::TooLarge:
            log_error("--log-max-size \"" + log_max_size +
                      "\" is too large: a size must fit in 64 bits (at most 17179869183G)");
            return kExitUsage;
        case SizeText::NotASize:
            log_error("--log-max-size \"" + log_max_size +
                      "\" is not a size (bytes, or a number with k, M or G)");
            return kExitUsage;
    }
    if (!o.history.check() || !o.master.check()) return kExitUsage;
    // The gateway's identity, whichever service names it to the outside.
    if (o.gateway_id.empty()) o.gateway_id = host_name();
    if (o.gateway_id.size() > 65535 || o.gateway_id.find('\0') != std::string::npos) {
        log_error("--gateway-id must be at most 65535 bytes without NUL");
        return kExitUsage;
    }
    const GatewayOptions gateway = o.gateway();
    for (const auto& service : o.services)
        if (!service->check(gateway)) return kExitUsage;
    if (!clock_start.empty()) {
        int64_t start = 0;
        if (!parse_time_text(clock_start, start)) {
            log_error("--clock-start \"" + clock_start +
                      "\" is not a time (YYYY-MM-DDTHH:MM:SS, optionally with Z for UTC)");
            return kExitUsage;
        }
        o.clock_start = start;
    }
    if (!order_actions(app, raw, verbatim, o.after)) return kExitUsage;
    o.port.default_port = o.port_path;
    o.port.time_scale = o.time_scale;
    o.port.polled_lines = master::polled_line_factory(o.master);
    return std::nullopt;
}

}  // namespace smdgw
