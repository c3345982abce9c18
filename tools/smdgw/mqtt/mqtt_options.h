#pragma once
// smdgw's --mqtt options: the broker URL, TLS files, credentials, the gateway's
// identity and topic prefix, and where the outbox lives.

#include <cstdint>
#include <string>

#include "tools/smdgw/core/credentials_file.h"

// CLI11 is heavy to compile: only the files that add options include it.
namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace smdgw {

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; an IPv6 address in brackets.
struct BrokerUrl {
    bool tls = false;
    std::string host;
    int port = 0;
};

// False with `error` naming what is wrong with the text.
bool parse_broker_url(const std::string& text, BrokerUrl& url, std::string& error);

// --mqtt URL and --mqtt-auth FILE (none when empty) as smdgw and the fleet's
// programs read them: "" when both are fine, else the message naming the
// option. has_credentials says whether a login was read.
std::string read_broker_login(const std::string& url, const std::string& auth_file,
                              BrokerUrl& broker, Credentials& credentials,
                              bool& has_credentials);

constexpr const char* kHaDefaultPrefix = "homeassistant";

struct MqttOptions {
    std::string url;
    std::string ca_file;
    std::string cert_file;
    std::string key_file;
    bool insecure = false;
    std::string auth_file;
    std::string gateway_id;  // the gateway's --gateway-id, checked already
    std::string prefix;
    std::string outbox_file;
    std::string outbox_max = "1G";
    bool damaged = false;
    double reconnect_max_s = 15.0;
    double record_interval_s = 0.0;  // 0: every round
    std::string payload = "full";    // or "compact"
    // The large-fleet profile: a shard level in the topics, no retained
    // record, reconnects up to 300 s apart, the client ID checked.
    bool fleet_profile = false;
    unsigned shards = 64;
    bool reconnect_given = false;
    // --mqtt-ha-discovery [PREFIX]: Home Assistant discovery below PREFIX
    // (docs/home-assistant.md); refused with the large-fleet profile unless
    // --mqtt-ha-discovery-force.
    bool ha_discovery = false;  // set by check() when the option was given
    std::string ha_prefix;      // empty: kHaDefaultPrefix
    bool ha_force = false;
    const CLI::Option* ha_option = nullptr;  // set by add_mqtt_options

    // Filled by check().
    BrokerUrl broker;
    Credentials credentials;
    bool has_credentials = false;
    uint64_t outbox_max_bytes = 0;
    std::string outbox_path;  // the outbox file or the history database

    bool enabled() const { return !url.empty(); }
    // Validates everything and resolves defaults; false with a message on
    // standard error naming the option.
    bool check(const std::string& history_path);

   private:
    bool check_ha_discovery();
};

void add_mqtt_options(CLI::App& app, MqttOptions& options);

// What the large-fleet profile sets in check(): the shard level after the
// prefix (smdgw/s07/<gateway-id>), the reconnect cap unless given, and a
// warning for a client ID beyond the 23 characters [0-9a-zA-Z] every broker
// must accept.
void apply_fleet_profile(MqttOptions& options);

// Whether every MQTT 3.1.1 broker must accept the client ID: 1 to 23
// characters, each 0-9, a-z or A-Z.
bool portable_client_id(const std::string& id);

}  // namespace smdgw
