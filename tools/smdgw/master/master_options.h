#pragma once
// Command-line options of the gateway as master, and the factory that makes
// the polled line of each port whose devices have "role": "master".

#include <cstdint>
#include <string>
#include <vector>

#include "tools/smdgw/core/port_runner.h"

// CLI11 is heavy to compile: only the files that add options include it.
namespace CLI {
class App;
}  // namespace CLI

namespace smdgw::master {

// A control request run on every master device between two of its rounds,
// once it has published `after_rounds` rounds.
struct ScheduledControl {
    uint64_t after_rounds = 0;
    int code = 0;
    std::vector<unsigned char> request;
};

struct MasterOptions {
    std::vector<std::string> control_at;      // N CODE TEXT, three values each
    std::vector<std::string> control_hex_at;  // N CODE HEX
    std::vector<ScheduledControl> controls;   // both, checked
    // Turns the texts into controls; false after a message naming the bad value.
    bool check();
};

void add_master_options(CLI::App& app, MasterOptions& options);

PolledLineFactory polled_line_factory(const MasterOptions& options);

// Whether master devices can run with this input: a master owns its port (no
// listener beside it, one address per master) and polls a live line, so it
// cannot replay a capture. False after a message naming the devices.
bool check_master_input(const GatewayConfig& cfg, const std::string& default_port,
                        bool replaying);

}  // namespace smdgw::master
