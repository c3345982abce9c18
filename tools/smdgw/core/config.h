#pragma once
// The gateway configuration: one JSON file listing the devices.

#include <json/value.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace smdgw {

// "role": listen to another master's polls (the capture driver), or poll the
// plant as the only master on the line (the polling driver).
enum class DeviceRole { Listen, Master };

// The settings of a master device that the driver's options do not cover.
struct MasterSettings {
    bool floating_point = true;       // "encoding": "float" (CID2 0x41) or "fixed" (0x42)
    uint8_t protocol_version = 0x20;  // "protocol_version": 0x20 or 0x21
    unsigned response_timeout_ms = 500;  // "response_timeout_ms": wait for a response's first byte
};

struct DeviceConfig {
    std::string name;
    uint32_t data_id = 0;
    std::string port;   // empty: the port given on the command line
    uint8_t address = 1;  // "address", as the host protocol reads it
    DeviceRole role = DeviceRole::Listen;
    MasterSettings master;
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
// Why these devices cannot share their lines, or empty when they can: a
// master owns its port (no listener beside it), and masters on one port need
// different addresses. Devices without a "port" are on default_port.
std::string line_role_conflict(const std::vector<DeviceConfig>& devices,
                               const std::string& default_port);
// The same checks on text already read (for tests and fuzzing).
GatewayConfig parse_config(const std::string& text, const std::string& path);

}  // namespace smdgw
