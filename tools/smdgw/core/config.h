#pragma once
// The gateway configuration: one JSON file listing the devices.

#include <json/value.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace smdgw {

struct DeviceConfig {
    std::string name;
    uint32_t data_id = 0;
    std::string port;   // empty: the port given on the command line
    Json::Value entry;  // the whole device object, handed to InitSetting
};

struct GatewayConfig {
    std::string path;
    std::vector<DeviceConfig> devices;
    // One line per device entry left out: the file, the device and the problem.
    std::vector<std::string> warnings;
};

// A configuration the gateway cannot use at all (not JSON, no device list,
// or no usable device); the message names the file, each device and its problem.
class ConfigError : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
};

GatewayConfig load_config(const std::string& path);
// The same checks on text already read (for tests and fuzzing).
GatewayConfig parse_config(const std::string& text, const std::string& path);

}  // namespace smdgw
