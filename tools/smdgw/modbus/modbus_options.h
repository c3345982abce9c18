#pragma once
// smdgw's --modbus-* options: where the Modbus TCP server listens and its
// bounds. Checked before anything runs.

#include <string>

#include "tools/smdgw/modbus/modbus_limits.h"

// CLI11 is heavy to compile: only the files that add options include it.
namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace smdgw::modbus {

// IANA's port of Modbus TCP; below 1024, so it needs privileges
// (docs/modbus.md: 1502, or the unit's AmbientCapabilities).
constexpr int kDefaultPort = 502;
// Loopback unless an address is given: the plant's state is the site's business.
constexpr const char* kDefaultAddress = "127.0.0.1";

struct ModbusOptions {
    bool given = false;  // --modbus-listen given
    std::string listen;  // as given
    unsigned max_connections = kDefaultMaxConnections;
    unsigned max_per_client = kDefaultMaxPerClient;
    unsigned idle_timeout_s = kDefaultIdleTimeoutS;
    const CLI::Option* listen_option = nullptr;  // set by add_modbus_options

    // Filled by check().
    std::string address;
    int port = kDefaultPort;

    bool enabled() const { return given; }
    // Parses the address; false with a message on standard error naming the option.
    bool check();
};

void add_modbus_options(CLI::App& app, ModbusOptions& options);

}  // namespace smdgw::modbus
