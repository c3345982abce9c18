#include "tools/smdgw/mqtt/ha_config.h"

#include <json/value.h>
#include <json/writer.h>

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "tools/smdgw/mqtt/mqtt_topic.h"
#include "tools/smdgw/output/event_writer.h"

namespace smdgw {

namespace {

// The device's state topic says whether its values are current: only a live
// device is available, a stale one (and one never read) is not.
constexpr const char* kLiveTemplate =
    "{{ 'online' if value_json.state == 'live' else 'offline' }}";

std::string text(const Json::Value& v) { return Json::writeString(event_json_settings(), v); }

Json::Value origin(const HaIdentity& id) {
    Json::Value o(Json::objectValue);
    o["name"] = "smdgw";
    o["sw_version"] = id.version;
    return o;
}

std::string status_topic(const HaIdentity& id) { return id.topic_prefix + "/status"; }

}  // namespace

int ha_expire_after_s(double record_interval_s) {
    const double twice = 2.0 * record_interval_s + 30.0;
    return std::max(kHaMinExpireS, static_cast<int>(std::ceil(twice)));
}

std::string ha_id_part(const std::string& name) {
    std::string out;
    bool changed = name.empty();
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '-';
        out += ok ? c : '_';
        changed = changed || !ok;
    }
    if (!changed) return out;
    char hex[10];
    std::snprintf(hex, sizeof hex, "_%08x", fnv1a_32(name));
    return out + hex;
}

std::string ha_gateway_identifier(const HaIdentity& id) { return "smdgw_" + ha_id_part(id.gateway_id); }

std::string ha_device_identifier(const HaIdentity& id, const std::string& device) {
    return ha_gateway_identifier(id) + "_" + ha_id_part(device);
}

std::string ha_config_topic(const HaIdentity& id, const std::string& device, const HaEntity& e) {
    return id.discovery_prefix + "/" + ha_component_name(e.kind->component) + "/" +
           ha_id_part(id.gateway_id) + "/" + ha_id_part(device) + "_" + e.key + "/config";
}

std::string ha_config_filter(const HaIdentity& id) {
    return id.discovery_prefix + "/+/" + ha_id_part(id.gateway_id) + "/+/config";
}

std::string ha_birth_topic(const HaIdentity& id) { return id.discovery_prefix + "/status"; }

std::string ha_state_topic(const HaIdentity& id, const std::string& device) {
    return device_topic(id.topic_prefix, device, TopicKind::HaState);
}

std::string ha_entity_config(const HaIdentity& id, const HaPlant& plant, const HaEntity& e) {
    const HaEntityKind& k = *e.kind;
    Json::Value c(Json::objectValue);
    c["name"] = e.name;
    c["unique_id"] = ha_device_identifier(id, plant.device) + "_" + e.key;
    c["state_topic"] = ha_state_topic(id, plant.device);
    c["value_template"] = "{{ value_json." + e.key + " }}";
    if (*k.device_class) c["device_class"] = k.device_class;
    if (*k.unit) c["unit_of_measurement"] = k.unit;
    if (k.component == HaComponent::Sensor) c["state_class"] = "measurement";
    c["expire_after"] = id.expire_after_s;
    Json::Value& availability = c["availability"];
    Json::Value gateway(Json::objectValue);
    gateway["topic"] = status_topic(id);
    availability.append(gateway);
    Json::Value live(Json::objectValue);
    live["topic"] = device_topic(id.topic_prefix, plant.device, TopicKind::State);
    live["value_template"] = kLiveTemplate;
    availability.append(live);
    c["availability_mode"] = "all";
    if (k.detail) {
        c["entity_category"] = "diagnostic";
        c["enabled_by_default"] = false;
    }
    Json::Value& device = c["device"];
    device["identifiers"].append(ha_device_identifier(id, plant.device));
    device["name"] = plant.device;
    if (!plant.manufacturer.empty()) device["manufacturer"] = plant.manufacturer;
    if (!plant.model.empty()) device["model"] = plant.model;
    device["via_device"] = ha_gateway_identifier(id);
    c["origin"] = origin(id);
    return text(c);
}

std::string ha_gateway_config_topic(const HaIdentity& id) {
    return id.discovery_prefix + "/binary_sensor/" + ha_id_part(id.gateway_id) +
           "/gateway_connection/config";
}

std::string ha_gateway_config(const HaIdentity& id) {
    Json::Value c(Json::objectValue);
    c["name"] = "Connection";
    c["unique_id"] = ha_gateway_identifier(id) + "_connection";
    // The retained status, "offline" also as the broker's last will.
    c["state_topic"] = status_topic(id);
    c["payload_on"] = "online";
    c["payload_off"] = "offline";
    c["device_class"] = "connectivity";
    c["entity_category"] = "diagnostic";
    Json::Value& device = c["device"];
    device["identifiers"].append(ha_gateway_identifier(id));
    device["name"] = "smdgw " + id.gateway_id;
    device["manufacturer"] = "smdgw";
    device["model"] = "Power system gateway";
    device["sw_version"] = id.version;
    c["origin"] = origin(id);
    return text(c);
}

}  // namespace smdgw
