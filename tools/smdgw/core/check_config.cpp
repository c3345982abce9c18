#include "tools/smdgw/core/check_config.h"

#include <set>

#include "host/host_sink.h"
#include "tools/smdgw/core/config.h"
#include "tools/smdgw/core/device_state.h"
#include "tools/smdgw/core/driver_log_capture.h"
#include "tools/smdgw/core/exit_status.h"
#include "tools/smdgw/core/fanout_sink.h"
#include "tools/smdgw/core/gateway.h"
#include "tools/smdgw/core/line_output.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/plugin_loader.h"
#include "tools/smdgw/core/port_access.h"
#include "tools/smdgw/core/port_runner.h"
#include "tools/smdgw/core/threshold_probe.h"

namespace smdgw {

namespace {

class NoLines : public LineOutput {
   public:
    void write(const std::string&, Json::Value) override {}
};

std::string thresholds_text(const DeviceConfig& d) {
    const int mode = threshold_mode(d.entry);
    std::string t = "threshold mode " + std::to_string(mode);
    const Json::Value& ts = d.entry["thresholdSetting"];
    switch (mode) {
        case 1: {
            const std::string file = threshold_file(d.data_id);
            return t + (file.empty() ? ", no threshold file found (no thresholds)"
                                     : ", threshold file " + file + " read");
        }
        case 2:
            return t + " (fixed rules)";
        case 3:
        case 5:
            return t + ", " + std::to_string(ts.isObject() ? ts.size() : 0) +
                   " \"thresholdSetting\" entries read";
        default:
            return t + " (no thresholds)";
    }
}

// default_port: what a device without a "port" of its own follows.
std::string summary(const DeviceConfig& d, const std::string& default_port) {
    const Json::Value& levels = d.entry["alarm_levels"];
    unsigned configured = 0;
    if (levels.isObject())
        for (const auto& k : levels.getMemberNames())
            if (levels[k].asDouble() != 0) ++configured;
    const std::string port = d.port.empty() ? default_port : d.port;
    const std::string role =
        d.role == DeviceRole::Master
            ? std::string("role master (") + (d.master.floating_point ? "float" : "fixed") +
                  ", protocol 0x" + (d.master.protocol_version == 0x21 ? "21" : "20") + ")"
            : std::string("role listen");
    return d.name + ": data_id " + std::to_string(d.data_id) + ", port " + port + ", address " +
           (d.address < 0 ? std::string("any") : std::to_string(d.address)) + ", " + role + ", " +
           thresholds_text(d) + ", " + std::to_string(configured) + " alarm levels configured";
}

// Each port the devices follow, looked at as the service's user would open
// it: one line on out for a port that exists, a warning for one that does
// not (a USB adapter may appear later), an error for one that cannot work.
// False when a port cannot work.
bool check_ports(const GatewayConfig& cfg, const std::string& default_port, std::FILE* out) {
    std::set<std::string> paths;
    for (const DeviceConfig& d : cfg.devices) {
        const std::string p = d.port.empty() ? default_port : d.port;
        if (!p.empty() && p.rfind("tcp:", 0) != 0) paths.insert(p);
    }
    const PortUser service = service_user();
    bool ok = true;
    for (const std::string& path : paths) {
        const PortFile f = inspect_port(path);
        if (f.kind == PortKind::Missing) {
            log_warning("warning: port " + path +
                        " does not exist (yet); smdgw waits for it and opens it when it appears");
            continue;
        }
        if (f.kind == PortKind::Regular) continue;  // said by port_problems
        const bool port = f.kind == PortKind::Terminal || f.kind == PortKind::PseudoTerminal ||
                          f.kind == PortKind::Fifo;
        const bool can = user_can_open(f, service);
        const std::string verdict =
            !port ? "not a serial port" : service.label + (can ? " can" : " cannot") + " open it";
        std::fprintf(out, "port %s: %s; %s\n", path.c_str(), describe_port(f).c_str(),
                     verdict.c_str());
        if (!can) {
            log_error("port " + path + ": " + describe_port(f) + "; " + verdict + ": " +
                      access_fix(f, service));
            ok = false;
        }
    }
    return ok;
}

}  // namespace

int check_config(const CheckConfigRequest& req, std::FILE* out) {
    GatewayConfig cfg;
    try {
        cfg = load_config(req.config_path, req.strict);
    } catch (const ConfigError& e) {
        report_config_error(e);
        return kExitUsage;
    }
    report_config_warnings(cfg.warnings);
    bool ok = true;
    if (!req.replay) {
        for (const auto& p : port_problems(cfg, req.port_path)) {
            log_error(p);
            ok = false;
        }
    }
    LoadedPlugin plugin;
    try {
        plugin = load_plugin(req.plugin_path.empty() ? default_plugin_path() : req.plugin_path);
    } catch (const std::exception& e) {
        log_error(e.what());
        return kExitUsage;
    }
    // The driver's log is not wanted here: standard output carries the summary.
    DriverLogCapture quiet(nullptr);
    FanoutSink sink;
    NoLines lines;
    DeviceStates states;
    Gateway gw(sink, lines, plugin, states);
    if (gw.create_devices(cfg) > 0) ok = false;
    const std::string default_port = req.replay              ? "(--replay)"
                                     : req.port_path.empty() ? "none"
                                                             : req.port_path + " (--port)";
    for (const RunningDevice& d : gw.devices())
        std::fprintf(out, "%s\n", summary(d.cfg, default_port).c_str());
    if (!req.replay && !check_ports(cfg, req.port_path, out)) ok = false;
    std::fflush(out);
    return ok ? kExitOk : kExitUsage;
}

}  // namespace smdgw
