#pragma once
// Following live lines until SIGINT or SIGTERM: serial ports,
// pseudo-terminals, FIFOs, or serial servers reached over TCP
// ("tcp:HOST:PORT"). Devices on the same port share one line.

#include <functional>
#include <string>
#include <vector>

#include "tools/smdgw/core/gateway.h"

namespace smdgw {

struct PortOptions {
    std::string default_port;     // for devices without a "port" of their own
    std::string record_path;      // every byte read, unchanged, for --replay later
    double stats_interval = 0.0;  // seconds; 0: no periodic statistics
    double time_scale = 1.0;      // the host clock runs this much faster (tests)
    std::function<void()> more_stats;  // the services' statistics, after the devices'
    // Called every 50 ms by the loop that reads the lines: a sign of its progress.
    std::function<void()> on_tick;
};

// Runs until SIGINT, SIGTERM or --count. Ports that are missing or fail are
// retried with a growing delay (the devices on them are "no-port" in their
// statistics meanwhile). False only when the --record file cannot be opened.
bool run_ports(Gateway& gw, const PortOptions& opt);

// A port named on the command line or in the configuration that can never
// work: a regular file (a capture is replayed with --replay) or a malformed
// tcp:HOST:PORT. A missing path is fine: it may appear later.
bool check_port_path(const std::string& path, std::string& error);

// Every reason why the configured devices cannot follow their ports, with
// port_path the --port of the command line ("" when none): a device that
// names no port without --port, and ports that can never work.
std::vector<std::string> port_problems(const GatewayConfig& cfg, const std::string& port_path);

}  // namespace smdgw
