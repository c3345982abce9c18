#include "tools/smdgw-fleet/fleet_options.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "tools/smdgw/core/size_text.h"
#include "tools/smdgw/mqtt/mqtt_topic.h"

namespace smdgw {

namespace {

constexpr const char* kExamples = R"(
Examples:
  # Shards 0 to 15 of a fleet in the large-fleet profile, into VictoriaMetrics:
  smdgw-fleet --mqtt mqtt://broker.example.net --shards 0-15 \
      --influx-url http://127.0.0.1:8428/write --http 127.0.0.1:9470 \
      --state /var/lib/smdgw-fleet/a.state

  # Four collectors side by side, each on its own shards (client IDs differ):
  smdgw-fleet --mqtt mqtts://broker:8883 --mqtt-ca ca.pem --mqtt-auth fleet.auth \
      --shards 16-31 --influx-url http://vm:8428/write --http 127.0.0.1:9471

  # Gateways without shards (smdgw/<gateway-id>/...), into InfluxDB 1.x:
  smdgw-fleet --mqtt mqtt://127.0.0.1 --influx-url 'http://127.0.0.1:8086/write?db=fleet'
)";

int usage(const std::string& text) {
    std::fprintf(stderr, "smdgw-fleet: %s\n", text.c_str());
    return 2;
}

bool parse_shards(const std::string& text, unsigned& first, unsigned& last) {
    unsigned a = 0, b = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "%u-%u%n", &a, &b, &used) == 2 &&
        static_cast<size_t>(used) == text.size()) {
    } else if (std::sscanf(text.c_str(), "%u%n", &a, &used) == 1 &&
               static_cast<size_t>(used) == text.size()) {
        b = a;
    } else {
        return false;
    }
    if (a > b || b > 9999) return false;
    first = a;
    last = b;
    return true;
}

}  // namespace

int parse_fleet_options(int argc, char** argv, FleetOptions& o, bool& exit_now) {
    exit_now = false;
    CLI::App app{
        "smdgw-fleet: the fleet collector. Subscribes with a persistent session to the "
        "gateways' topics (its shards), writes every message once to VictoriaMetrics or "
        "InfluxDB 1.x as Influx line protocol, and serves /metrics and /healthz."};
    app.footer(kExamples);
    app.add_option("--mqtt", o.mqtt_url, "The broker (mqtt://HOST[:PORT], mqtts://HOST[:PORT])")
        ->required()
        ->type_name("URL");
    app.add_option("--mqtt-ca", o.ca_file, "CA certificates of the broker (mqtts://)")
        ->type_name("FILE");
    app.add_option("--mqtt-auth", o.auth_file,
                   "User name and password, one line each (not readable by others)")
        ->type_name("FILE");
    app.add_option("--client-id", o.client_id,
                   "The session's client ID; keep it across restarts so the broker keeps the "
                   "messages of a stopped collector (default: smdgw-fleet-<shards>)")
        ->type_name("ID");
    app.add_option("--prefix", o.prefix, "Topic prefix before the shard level")
        ->capture_default_str()
        ->type_name("TOPIC");
    app.add_option("--shards", o.shards,
                   "Shard numbers to subscribe to (FIRST-LAST or one), of gateways in the "
                   "large-fleet profile; without it: <prefix>/# unsharded")
        ->type_name("RANGE");
    app.add_option("--influx-url", o.influx_url,
                   "Where lines go: VictoriaMetrics' http://HOST:8428/write or InfluxDB's "
                   "http://HOST:8086/write?db=NAME")
        ->required()
        ->type_name("URL");
    app.add_option("--http", o.http_addr, "Serve /metrics and /healthz on HOST:PORT")
        ->type_name("ADDR");
    app.add_option("--buffer-max", o.buffer_max,
                   "Lines kept while the database is down; beyond it the oldest go (counted)")
        ->capture_default_str()
        ->type_name("SIZE");
    app.add_option("--state", o.state_file,
                   "Remember the messages written across restarts in this file (written at "
                   "each --tick and at a stop), so that one the broker hands over again is "
                   "not written twice")
        ->type_name("FILE");
    app.add_option("--silent-after", o.silent_after_s,
                   "A gateway not heard of for this long is down (smdgw_gateway_up 0)")
        ->capture_default_str()
        ->type_name("SECONDS");
    app.add_option("--tick", o.tick_s,
                   "Write liveness and the active alarms of every gateway this often")
        ->capture_default_str()
        ->type_name("SECONDS");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        exit_now = true;
        return app.exit(e);
    }
    std::string error =
        read_broker_login(o.mqtt_url, o.auth_file, o.broker, o.credentials, o.has_credentials);
    if (!error.empty()) return exit_now = true, usage(error);
    if (!check_topic_prefix(o.prefix, error))
        return exit_now = true, usage("--prefix \"" + o.prefix + "\" " + error);
    if (!o.shards.empty()) {
        if (!parse_shards(o.shards, o.shard_first, o.shard_last))
            return exit_now = true, usage("--shards \"" + o.shards + "\" is not FIRST-LAST");
        o.sharded = true;
    }
    if (o.influx_url.rfind("http://", 0) != 0 && o.influx_url.rfind("https://", 0) != 0)
        return exit_now = true, usage("--influx-url must be an http:// or https:// URL");
    if (!parse_size_text(o.buffer_max, o.buffer_max_bytes) || o.buffer_max_bytes < 1024 * 1024)
        return exit_now = true, usage("--buffer-max must be a size of at least 1M");
    if (!(o.silent_after_s >= 1.0) || !(o.tick_s >= 1.0))
        return exit_now = true, usage("--silent-after and --tick must be at least 1 second");
    if (o.client_id.empty())
        o.client_id = "smdgw-fleet-" + (o.sharded ? shard_level(o.shard_first) + "-" +
                                                        shard_level(o.shard_last)
                                                  : std::string("all"));
    return 0;
}

}  // namespace smdgw
