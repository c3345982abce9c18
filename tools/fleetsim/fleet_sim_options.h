#pragma once
// fleetsim's command line.

#include <cstdint>
#include <string>

#include "tools/smdgw/mqtt/mqtt_options.h"

namespace smdgw {

struct FleetSimOptions {
    std::string mqtt_url;
    unsigned gateways = 100;
    double interval_s = 10.0;
    double duration_s = 60.0;
    std::string prefix = "smdgw";
    unsigned shards = 64;  // 0: no shard level
    std::string id_prefix = "site";
    double reconnect_max_s = 300.0;
    unsigned on_battery = 0;  // sites whose mains fail at --fault-at
    unsigned silent = 0;      // sites that go silent at --fault-at
    double fault_at_s = 10.0;
    double storm_at_s = -1.0;  // every connection cut at once
    double drain_s = 60.0;     // at the end, waiting for the last PUBACKs
    bool per_gateway = false;  // the summary lists every site's records
    unsigned part = 1, parts = 1;  // this process simulates part `part` of `parts`
    BrokerUrl broker;
};

int parse_fleet_sim_options(int argc, char** argv, FleetSimOptions& o, bool& exit_now);

}  // namespace smdgw
