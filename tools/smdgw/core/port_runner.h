#pragma once
// Following live lines until SIGINT or SIGTERM: serial ports,
// pseudo-terminals, FIFOs, or serial servers reached over TCP
// ("tcp:HOST:PORT"). Devices on the same port share one line.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/line_port.h"
#include "tools/smdgw/core/gateway.h"

namespace boost {
namespace asio {
class io_context;
}  // namespace asio
}  // namespace boost

namespace smdgw {

// A line the gateway is master of (tools/smdgw/master/): it writes the
// devices' commands and hands them only their responses. The port runner
// opens, reads and reopens the port and tells it what happens.
class PolledLine {
   public:
    virtual ~PolledLine() = default;
    // The port is open (again); commands go to it.
    virtual void opened(std::shared_ptr<LinePort> port) = 0;
    // The port failed or closed; nothing can be written until opened again.
    virtual void closed() = 0;
    virtual void received(const unsigned char* data, size_t n) = 0;
    // The runner stops: timers are cancelled.
    virtual void stop() = 0;
};

// Makes the polled line of one port for its master devices; time_scale is the
// host clock's (the poll tick follows it, the line's own timing does not).
using PolledLineFactory = std::function<std::shared_ptr<PolledLine>(
    boost::asio::io_context& io, Gateway& gw, std::vector<RunningDevice*> devices,
    double time_scale)>;

struct PortOptions {
    std::string default_port;     // for devices without a "port" of their own
    std::string record_path;      // every byte read, unchanged, for --replay later
    double stats_interval = 0.0;  // seconds; 0: no periodic statistics
    double time_scale = 1.0;      // the host clock runs this much faster (tests)
    PolledLineFactory polled_lines;  // for ports whose devices have "role": "master"
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
