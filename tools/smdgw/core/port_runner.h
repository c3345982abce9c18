#pragma once
// Following live lines until SIGINT or SIGTERM: serial ports,
// pseudo-terminals, FIFOs, or serial servers reached over TCP
// ("tcp:HOST:PORT"). Devices on the same port share one line.

#include <functional>
#include <string>

#include "tools/smdgw/core/gateway.h"

namespace smdgw {

struct PortOptions {
    std::string default_port;     // for devices without a "port" of their own
    std::string record_path;      // every byte read, unchanged, for --replay later
    double stats_interval = 0.0;  // seconds; 0: no periodic statistics
    double time_scale = 1.0;      // the host clock runs this much faster (tests)
    std::function<void()> more_stats;  // the services' statistics, after the devices'
};

// Returns false when no port could be opened at all.
bool run_ports(Gateway& gw, const PortOptions& opt);

}  // namespace smdgw
