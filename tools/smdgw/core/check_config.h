#pragma once
// smdgw --check-config: everything the gateway would check at start, without
// opening a port or any file for writing. Per device one summary line on out;
// every warning and error on standard error, each naming the file, the device
// and the key.

#include <cstdio>
#include <string>

namespace smdgw {

struct CheckConfigRequest {
    std::string config_path;
    std::string plugin_path;  // the plug-in to initialise the devices with
    std::string port_path;    // --port, when given
    bool replay = false;      // --replay given: ports are not needed
    bool strict = false;      // --strict: keys the driver does not read are errors
};

// Returns the exit status: 0 when the gateway would start (warnings allowed), 2 otherwise.
int check_config(const CheckConfigRequest& req, std::FILE* out);

}  // namespace smdgw
