#include "tools/smdgw/mqtt/mqtt_options.h"

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/host_port.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/secret_file.h"
#include "tools/smdgw/core/size_text.h"

#include "tools/smdgw/mqtt/mqtt_topic.h"
#include "tools/smdgw/outbox/outbox_store.h"

namespace smdgw {

namespace {

constexpr int kPortMqtt = 1883;
constexpr int kPortMqtts = 8883;

// The large-fleet profile's reconnect cap: 100,000 gateways trying at most
// every 300 s, drawn at random, are about 300 CONNECTs a second.
constexpr double kFleetReconnectMaxS = 300.0;

bool readable_file(const char* option, const std::string& path) {
    if (path.empty()) return true;
    if (::access(path.c_str(), R_OK) == 0) return true;
    return usage_error(std::string(option) + " \"" + path + "\": " + std::strerror(errno));
}

}  // namespace


bool parse_broker_url(const std::string& text, BrokerUrl& url, std::string& error) {
    std::string rest;
    if (text.rfind("mqtt://", 0) == 0) {
        url.tls = false;
        rest = text.substr(7);
    } else if (text.rfind("mqtts://", 0) == 0) {
        url.tls = true;
        rest = text.substr(8);
    } else {
        error = "does not start with mqtt:// or mqtts://";
        return false;
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.find_first_of("/?#@ ") != std::string::npos) {
        error = "has a path, query, user or blank; give only HOST[:PORT]";
        return false;
    }
    smd::HostPort hp;
    error = smd::parse_host_port(rest, hp, smd::PortZero::Refused,
                                 url.tls ? kPortMqtts : kPortMqtt);
    if (!error.empty()) return false;
    url.host = hp.host;
    url.port = static_cast<int>(hp.port);
    return true;
}

std::string read_broker_login(const std::string& url, const std::string& auth_file,
                              BrokerUrl& broker, Credentials& credentials,
                              bool& has_credentials) {
    std::string error;
    if (!parse_broker_url(url, broker, error))
        return "--mqtt \"" + url + "\" " + error + " (mqtt://HOST[:PORT] or mqtts://HOST[:PORT])";
    has_credentials = false;
    if (!auth_file.empty()) {
        if (!read_credentials_file(auth_file, credentials, error))
            return "--mqtt-auth \"" + auth_file + "\": " + error;
        has_credentials = true;
    }
    return {};
}

bool MqttOptions::check(const std::string& history_path) {
    if (ha_option && ha_option->count() > 0) ha_discovery = true;
    if (!enabled()) {
        const bool others = !ca_file.empty() || !cert_file.empty() || !key_file.empty() ||
                            insecure || !auth_file.empty() || !outbox_file.empty() || damaged ||
                            fleet_profile || ha_discovery || ha_force ||
                            record_interval_s != 0.0 || payload != "full";
        if (others) return usage_error("the --mqtt-* options need --mqtt URL");
        return true;
    }
    std::string error = read_broker_login(url, auth_file, broker, credentials, has_credentials);
    if (!error.empty()) return usage_error(error);
    if (!broker.tls && (!ca_file.empty() || !cert_file.empty() || !key_file.empty() || insecure))
        return usage_error("--mqtt-ca, --mqtt-cert, --mqtt-key and --mqtt-insecure need an " +
                           std::string("mqtts:// URL"));
    if (cert_file.empty() != key_file.empty())
        return usage_error("--mqtt-cert and --mqtt-key go together");
    key_file = secret_path(key_file);  // a bare name: a credential systemd handed over
    if (!readable_file("--mqtt-ca", ca_file) || !readable_file("--mqtt-cert", cert_file) ||
        !readable_file("--mqtt-key", key_file))
        return false;
    if (!key_file.empty()) {
        const std::string problem = secret_file_problem(key_file);
        if (!problem.empty())
            return usage_error("--mqtt-key \"" + key_file + "\": " + problem);
    }
    if (!check_ha_discovery()) return false;
    if (fleet_profile) apply_fleet_profile(*this);
    if (prefix.empty()) prefix = default_topic_prefix(gateway_id);
    if (!check_topic_prefix(prefix, error))
        return usage_error("--mqtt-prefix \"" + prefix + "\" " + error);
    if (!parse_size_text(outbox_max, outbox_max_bytes))
        return usage_error("--mqtt-outbox-max \"" + outbox_max +
                           "\" is not a size (bytes, or with k, M, G: 512M, 1G)");
    if (outbox_max_bytes < OutboxStore::kMinBytes)
        return usage_error("--mqtt-outbox-max \"" + outbox_max +
                           "\" is too small: the outbox needs at least 256k");
    if (shards < 1 || shards > 10000)
        return usage_error("--mqtt-shards must be 1 to 10000");
    if (!(reconnect_max_s >= 1.0))
        return usage_error("--mqtt-reconnect-max must be at least 1 second");
    if (!(record_interval_s >= 0.0) || record_interval_s > 86400.0)
        return usage_error("--mqtt-record-interval must be 0 to 86400 seconds");
    if (payload != "full" && payload != "compact")
        return usage_error("--mqtt-payload \"" + payload + "\" is not full or compact");
    outbox_path = !outbox_file.empty() ? outbox_file : history_path;
    if (outbox_path.empty())
        return usage_error("--mqtt needs --history FILE or --mqtt-outbox FILE to keep what "
                           "waits for the broker");
    return true;
}

// A fleet broker carries every site: discovery there would put every
// site's plants into any Home Assistant that subscribes to it.
bool MqttOptions::check_ha_discovery() {
    if (ha_force && !ha_discovery)
        return usage_error("--mqtt-ha-discovery-force goes with --mqtt-ha-discovery");
    if (!ha_discovery) return true;
    if (ha_prefix.empty()) ha_prefix = kHaDefaultPrefix;
    std::string error;
    if (!check_topic_prefix(ha_prefix, error))
        return usage_error("--mqtt-ha-discovery \"" + ha_prefix + "\" " + error);
    if (fleet_profile && !ha_force)
        return usage_error(
            "--mqtt-ha-discovery is refused with --mqtt-fleet-profile: on a fleet's broker it "
            "would announce this site's plants to every Home Assistant subscribed there; give "
            "--mqtt-ha-discovery-force if this broker serves this site alone");
    return true;
}

void add_mqtt_options(CLI::App& app, MqttOptions& o) {
    app.add_option("--mqtt", o.url,
                   "Publish records, alarms and states to this MQTT broker "
                   "(mqtt://HOST[:PORT], mqtts://HOST[:PORT])")
        ->type_name("URL");
    app.add_option("--mqtt-ca", o.ca_file,
                   "Check the broker's certificate against this CA (default: the system's CAs)")
        ->type_name("FILE");
    app.add_option("--mqtt-cert", o.cert_file, "Client certificate for mqtts://")
        ->type_name("FILE");
    app.add_option("--mqtt-key", o.key_file, "Key of the client certificate")->type_name("FILE");
    app.add_flag("--mqtt-insecure", o.insecure,
                 "Tests only: do not check the broker's host name against its certificate");
    app.add_option("--mqtt-auth", o.auth_file,
                   "User name and password for the broker, one line each (not readable by "
                   "others)")
        ->type_name("FILE");
    app.add_option("--mqtt-prefix", o.prefix, "Topic prefix (default: smdgw/<gateway-id>)")
        ->type_name("TOPIC");
    app.add_option("--mqtt-outbox", o.outbox_file,
                   "Keep messages for the broker in this SQLite file (default: the --history "
                   "database)")
        ->type_name("FILE");
    app.add_option("--mqtt-outbox-max", o.outbox_max,
                   "Bound of the outbox; beyond it the oldest records are dropped first")
        ->capture_default_str()
        ->type_name("SIZE");
    app.add_flag("--mqtt-damaged", o.damaged, "Also publish rounds that are not complete");
    app.add_option("--mqtt-reconnect-max", o.reconnect_max_s,
                   "Longest wait between two connection attempts; the waits grow from 1 s, "
                   "each drawn at random up to its step")
        ->capture_default_str()
        ->type_name("SECONDS")
        ->each([&o](const std::string&) { o.reconnect_given = true; });
    app.add_option("--mqtt-record-interval", o.record_interval_s,
                   "Publish a device's record at most every S seconds, the newest complete one "
                   "(alarms and states at once; default 0: every round)")
        ->type_name("S");
    app.add_flag("--mqtt-fleet-profile", o.fleet_profile,
                 "Large fleets: topics <prefix>/s<NN>/<gateway-id>/... (NN from a hash of the "
                 "gateway ID, the default prefix smdgw), no retained record, reconnects up to "
                 "300 s apart; see docs/fleet.md");
    app.add_option("--mqtt-shards", o.shards,
                   "With --mqtt-fleet-profile: the number of shards NN is taken modulo")
        ->capture_default_str()
        ->type_name("N");
    app.add_option("--mqtt-payload", o.payload,
                   "Record payload: full (the JSON output's record) or compact (reported values, "
                   "short keys; see docs/fleet.md)")
        ->capture_default_str()
        ->type_name("FORM");
    o.ha_option = app.add_option("--mqtt-ha-discovery", o.ha_prefix,
                                 "Announce each plant's entities to Home Assistant by MQTT "
                                 "discovery below PREFIX (default homeassistant); see "
                                 "docs/home-assistant.md")
                      ->expected(0, 1)
                      ->type_name("[PREFIX]");
    app.add_flag("--mqtt-ha-discovery-force", o.ha_force,
                 "Allow --mqtt-ha-discovery together with --mqtt-fleet-profile");
}

bool portable_client_id(const std::string& id) {
    if (id.empty() || id.size() > 23) return false;
    for (char c : id)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
            return false;
    return true;
}

void apply_fleet_profile(MqttOptions& o) {
    if (!o.reconnect_given) o.reconnect_max_s = kFleetReconnectMaxS;
    // The prefix given is the root the shard level goes below.
    const std::string root = o.prefix.empty() ? "smdgw" : o.prefix;
    o.prefix = root + "/" + shard_level(topic_shard(o.gateway_id, o.shards)) + "/" +
               encode_topic_level(o.gateway_id);
    if (!portable_client_id(o.gateway_id))
        log_warning("mqtt: the client ID \"" + o.gateway_id +
                    "\" is not 1 to 23 characters of 0-9, a-z, A-Z, all a broker must accept; "
                    "the broker must allow longer or other client IDs (Mosquitto does; others "
                    "have a setting for it)");
}

}  // namespace smdgw
