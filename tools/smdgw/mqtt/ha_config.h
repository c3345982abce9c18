#pragma once
// Home Assistant's MQTT discovery configurations of a gateway's plants: the
// topics <discovery prefix>/<component>/<node id>/<object id>/config, the
// ids, and the JSON of each entity (built with jsoncpp). The node id is the
// gateway's, so that one subscription, <prefix>/+/<node id>/+/config, finds
// everything a gateway ever announced; the object id is the device's and the
// entity's key.
//
//   homeassistant/sensor/site-0417/plant1_bus_voltage/config
//   {"name":"Bus voltage","unique_id":"smdgw_site-0417_plant1_bus_voltage",
//    "state_topic":"smdgw/site-0417/plant1/ha_state",
//    "value_template":"{{ value_json.bus_voltage }}","device_class":"voltage",
//    "unit_of_measurement":"V","state_class":"measurement","expire_after":120,
//    "availability":[{"topic":"smdgw/site-0417/status"},
//                    {"topic":"smdgw/site-0417/plant1/state","value_template":...}],
//    "availability_mode":"all","device":{...,"via_device":"smdgw_site-0417"},...}

#include <string>

#include "tools/smdgw/mqtt/ha_entities.h"

namespace smdgw {

// The shortest expire_after, for a gateway that publishes every round.
constexpr int kHaMinExpireS = 120;

struct HaIdentity {
    std::string discovery_prefix;  // "homeassistant"
    std::string topic_prefix;      // the MQTT service's prefix
    std::string gateway_id;
    std::string version;           // smdgw's, the configurations' origin
    int expire_after_s = kHaMinExpireS;
};

// How a plant names itself: its device name, and "ups" "mfr" and "model"
// from the configuration ("" when not given).
struct HaPlant {
    std::string device;
    std::string manufacturer;
    std::string model;
};

// expire_after for a record interval: above two intervals, at least kHaMinExpireS.
int ha_expire_after_s(double record_interval_s);

// A name as a node or object id, which takes only [a-zA-Z0-9_-]: kept when
// it fits, else each other byte as '_' and eight hex digits of the name's
// hash, so that "plant 1" and "plant_1" stay apart.
std::string ha_id_part(const std::string& name);

// The device identifiers: "smdgw_<gateway>" and "smdgw_<gateway>_<device>".
std::string ha_gateway_identifier(const HaIdentity& id);
std::string ha_device_identifier(const HaIdentity& id, const std::string& device);

// <discovery prefix>/<component>/<gateway>/<device>_<key>/config
std::string ha_config_topic(const HaIdentity& id, const std::string& device, const HaEntity& e);
// <discovery prefix>/+/<gateway>/+/config
std::string ha_config_filter(const HaIdentity& id);
// <discovery prefix>/status, where Home Assistant says "online" when it starts.
std::string ha_birth_topic(const HaIdentity& id);
// The values message the entities read: <topic prefix>/<device>/ha_state.
std::string ha_state_topic(const HaIdentity& id, const std::string& device);

// The configuration of one entity of a plant.
std::string ha_entity_config(const HaIdentity& id, const HaPlant& plant, const HaEntity& e);

// The gateway's own device, the one its plants are reached through
// (via_device): one binary sensor, its connection to the broker from the
// retained status topic.
std::string ha_gateway_config_topic(const HaIdentity& id);
std::string ha_gateway_config(const HaIdentity& id);

}  // namespace smdgw
