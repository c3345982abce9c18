#pragma once
// smdgw-fleet's command line.

#include <cstdint>
#include <string>

#include "tools/smdgw/core/credentials_file.h"
#include "tools/smdgw/mqtt/mqtt_options.h"

namespace smdgw {

struct FleetOptions {
    std::string mqtt_url;
    std::string ca_file;
    std::string auth_file;
    std::string client_id;
    std::string prefix = "smdgw";
    std::string shards;  // "0-15", "7"; empty: gateways without a shard level
    std::string influx_url;
    std::string http_addr;
    std::string buffer_max = "256M";
    std::string state_file;
    double silent_after_s = 180.0;
    double tick_s = 30.0;

    // Filled by parse.
    BrokerUrl broker;
    Credentials credentials;
    bool has_credentials = false;
    bool sharded = false;
    unsigned shard_first = 0, shard_last = 0;
    uint64_t buffer_max_bytes = 0;
};

// 0 to go on; otherwise the exit status (0 after --help, 2 for a usage error,
// said on standard error).
int parse_fleet_options(int argc, char** argv, FleetOptions& o, bool& exit_now);

}  // namespace smdgw
