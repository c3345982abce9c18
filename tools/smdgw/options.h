#pragma once
// smdgw's command line: what the user asked for, checked before anything runs.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/smdgw/core/log_file.h"
#include "tools/smdgw/core/port_runner.h"
#include "tools/smdgw/core/service_module.h"
#include "tools/smdgw/history/history_session.h"
#include "tools/smdgw/master/master_options.h"

namespace smdgw {

// What runs after the input ends, on every device, in command-line order.
struct AfterAction {
    enum Kind { Get, Reset, Control } kind = Get;
    std::string key;                     // Get
    int code = 0;                        // Control
    std::vector<unsigned char> request;  // Control (--control text or --control-hex bytes)
};

struct Options {
    std::string config_path;
    std::string plugin_path;  // empty: the plug-in beside smdgw
    std::string replay_path;  // at most one of replay_path and port_path is set;
    std::string port_path;    // with neither, every device names its own "port"
    std::string log_path;     // the driver's log: empty not written, "-" standard error
    LogRotation log_rotation;
    bool check_config = false;  // --check-config: check and exit
    bool strict = false;        // --strict: keys the driver does not read are errors
    bool show_version = false;  // --version: print and exit
    bool trace_host = false;
    std::string format = "json";  // json, text or influx
    std::string lang = "zh";      // alarm texts of the text view: zh or en
    std::string prometheus_path;
    double prometheus_interval = 15.0;  // seconds between writes for new values
    std::string battery_state_path;     // learned battery capacities kept across restarts
    int verbosity = 0;  // -v: the line trace; -vv with INFO bytes
    uint64_t count = 0;
    double time_scale = 1.0;
    std::optional<int64_t> clock_start;  // seconds since the epoch
    double replay_speed = 0.0;
    PortOptions port;
    HistoryOptions history;
    master::MasterOptions master;  // polling as master
    // This gateway's identity (--gateway-id, default the host name).
    std::string gateway_id;
    // The services of the table, each holding its own options.
    ServiceModules services;
    std::vector<AfterAction> after;

    // What the services may read of the options above.
    GatewayOptions gateway() const { return {config_path, history.path, gateway_id}; }
};

// Parses and checks the command line (not the configuration file). Returns
// the exit status when smdgw should stop here: after --help, or with a
// message on standard error for bad usage.
std::optional<int> parse_options(int argc, char** argv, Options& opts);

}  // namespace smdgw
