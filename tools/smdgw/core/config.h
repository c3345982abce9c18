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
    // -1: every address on its line (listening); a master polls this one
    // (1 unless "address" is given).
    int address = -1;
    DeviceRole role = DeviceRole::Listen;
    MasterSettings master;
    Json::Value entry;  // the whole device object, handed to InitSetting
};

struct GatewayConfig {
    std::string path;
    std::vector<DeviceConfig> devices;
    // The "notify" object as written (checked by tools/smdgw/notify/notify_config.h).
    Json::Value notify;
    // Unknown keys and other doubts, each naming the file, the device and the key.
    std::vector<std::string> warnings;
};

// A configuration the gateway cannot use: unreadable, not strict UTF-8 JSON,
// no device list, an unknown key, or any device entry with a wrong key or
// value. The message has
// one line per problem, each naming the file, the device, the key and the value.
class ConfigError : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
    ConfigError(const std::string& what, std::vector<std::string> warnings_found)
        : std::runtime_error(what), warnings(std::move(warnings_found)) {}
    std::vector<std::string> warnings;  // found before the errors, for the user too
};

// Writes the warnings and the errors with smdgw's logger, each line after
// "smdgw: " ("smdgw: warning: " for a warning).
void report_config_error(const ConfigError& e);
void report_config_warnings(const std::vector<std::string>& warnings);

// strict: keys inside "appSetting" and "thresholdSetting" that the driver
// does not read are errors, not warnings.
GatewayConfig load_config(const std::string& path, bool strict = false);
// Why these devices cannot share their lines, or empty when they can: a
// master owns its port (no listener beside it), and masters on one port need
// different addresses. Devices without a "port" are on default_port.
std::string line_role_conflict(const std::vector<DeviceConfig>& devices,
                               const std::string& default_port);
// The same checks on text already read (for tests and fuzzing).
GatewayConfig parse_config(const std::string& text, const std::string& path, bool strict = false);

}  // namespace smdgw
