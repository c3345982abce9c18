#include "tools/smdgw/mqtt/ha_discovery.h"

#include <json/reader.h>

#include <memory>
#include <utility>

#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/steady_time.h"
#include "tools/smdgw/core/ups_identity.h"
#include "tools/smdgw/core/utf8_text.h"

namespace smdgw {

namespace {

HaPlant plant_of(const DeviceConfig& d) {
    HaPlant p;
    p.device = d.name;
    std::vector<std::string> errors;  // told at start by the configuration's check
    if (const auto ups = UpsIdentity::parse(d.entry["ups"], errors)) {
        p.manufacturer = ups->mfr;
        p.model = ups->model;
    }
    return p;
}

// The first device identifier of a configuration, "" when it has none.
std::string identifier_in(const std::string& payload) {
    Json::CharReaderBuilder b;
    b["collectComments"] = false;
    b["stackLimit"] = 20;
    const std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    Json::Value v;
    std::string error;
    if (!reader->parse(payload.data(), payload.data() + payload.size(), &v, &error)) return {};
    if (!v.isObject()) return {};
    const Json::Value& device = v["device"];
    if (!device.isObject()) return {};
    const Json::Value& ids = device["identifiers"];
    if (ids.isString()) return ids.asString();
    if (ids.isArray() && !ids.empty() && ids[0].isString()) return ids[0].asString();
    return {};
}

}  // namespace

HaDiscovery::HaDiscovery(HaIdentity id, const GatewayConfig& cfg, const DeviceStates& states,
                         const BatteryMonitor& battery, MqttCounters& counters)
    : id_(std::move(id)),
      states_(states),
      battery_(battery),
      counters_(counters),
      birth_topic_(ha_birth_topic(id_)),
      filter_(ha_config_filter(id_)),
      gateway_topic_(ha_gateway_config_topic(id_)),
      random_(std::random_device{}()) {
    for (const DeviceConfig& d : cfg.devices) {
        plants_[d.name].plant = plant_of(d);
        device_of_id_[ha_device_identifier(id_, d.name)] = d.name;
    }
}

void HaDiscovery::on_record(const std::string& device) {
    const std::optional<BatteryView> battery = battery_.battery(device);
    PlantPresence presence;
    std::vector<HaEntity> entities;
    std::string values;
    const bool found = states_.read(device, [&](const DeviceState& d) {
        presence = plant_presence(d, battery.has_value());
        entities = ha_entities(presence);
        values = ha_state_json(d, battery, entities);
    });
    if (!found) return;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = plants_.find(device);
    if (it == plants_.end()) return;
    Plant& p = it->second;
    values_[ha_state_topic(id_, device)] = values;
    if (p.known && presence == p.presence) return;
    std::map<std::string, std::string> configs;
    for (const HaEntity& e : entities)
        configs[ha_config_topic(id_, device, e)] = ha_entity_config(id_, p.plant, e);
    // The first round of this run announces everything: the configuration
    // may read differently since the last run.
    unsigned removed = 0, added = 0;
    for (const auto& kv : p.configs)
        if (!configs.count(kv.first)) {
            outgoing_[kv.first].clear();
            ++removed;
        }
    for (const std::string& topic : p.found)
        if (!configs.count(topic)) {
            outgoing_[topic].clear();
            ++removed;
        }
    p.found.clear();
    for (const auto& kv : configs) {
        const auto old = p.configs.find(kv.first);
        if (!p.known || old == p.configs.end() || old->second != kv.second) {
            outgoing_[kv.first] = kv.second;
            if (old == p.configs.end()) ++added;
        }
    }
    const bool first = !p.known;
    p.known = true;
    p.presence = presence;
    p.configs = std::move(configs);
    // A plant that keeps changing (a module in and out) is told once a minute.
    const auto held = first ? std::optional<uint64_t>(0) : change_log_.allow(steady_seconds());
    if (held) {
        std::string line = "mqtt: Home Assistant: device " + quoted(device) + ": " +
                           std::to_string(p.configs.size()) + " entities";
        if (!first) line += " (" + std::to_string(added) + " new)";
        if (removed > 0) line += ", " + std::to_string(removed) + " gone and deleted";
        log_info(line + LogLimiter::held_note(*held));
    }
}

void HaDiscovery::connected(MqttLink& link) {
    link.subscribe(birth_topic_);
    link.subscribe(filter_);
    std::lock_guard<std::mutex> lock(mutex_);
    listening_ = true;
    listen_until_ = Clock::now() + steady_duration(kListenSeconds);
    // Whatever the broker kept (it may have lost its store), it gets it all again.
    republish_ = true;
    republish_at_ = Clock::now();
}

void HaDiscovery::message(const std::string& topic, const std::string& payload, bool retained) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (topic == birth_topic_) {
        if (payload != "online") return;
        counters_.ha_births += 1;
        if (republish_ && republish_at_ > Clock::now()) return;
        std::uniform_real_distribution<double> jitter(0.0, kJitterSeconds);
        republish_ = true;
        republish_at_ = Clock::now() + steady_duration(jitter(random_));
        return;
    }
    // Only what the broker kept from before; our own messages come back
    // without the retain flag.
    if (!listening_ || !retained || payload.empty()) return;
    found_config(topic, payload);
}

// A retained configuration below the gateway's node: its device's, a device
// gone from the configuration, or something no run of ours would announce.
void HaDiscovery::found_config(const std::string& topic, const std::string& payload) {
    if (topic == gateway_topic_) return;
    const std::string identifier =
        payload.size() <= kMaxConfigBytes ? identifier_in(payload) : std::string();
    const auto dev = device_of_id_.find(identifier);
    if (dev != device_of_id_.end()) {
        Plant& p = plants_[dev->second];
        if (!p.known)
            p.found.insert(topic);
        else if (!p.configs.count(topic))
            outgoing_[topic].clear();
        return;
    }
    if (identifier.empty()) counters_.ha_unreadable += 1;
    outgoing_[topic].clear();
    ++foreign_;
}

void HaDiscovery::republish_all() {
    outgoing_[gateway_topic_] = ha_gateway_config(id_);
    for (const auto& kv : plants_)
        for (const auto& c : kv.second.configs) outgoing_[c.first] = c.second;
}

void HaDiscovery::turn(MqttLink& link) {
    std::map<std::string, std::string> retained, values;
    bool unsubscribe = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto now = Clock::now();
        if (listening_ && now >= listen_until_) {
            listening_ = false;
            unsubscribe = true;
            if (foreign_ > 0)
                log_info("mqtt: Home Assistant: deleting " + std::to_string(foreign_) +
                         " retained configurations of devices no longer configured (or not readable)");
            foreign_ = 0;
        }
        if (republish_ && now >= republish_at_) {
            republish_ = false;
            republish_all();
        }
        retained.swap(outgoing_);
        values.swap(values_);
    }
    if (unsubscribe) link.unsubscribe(filter_);
    for (const auto& kv : retained) {
        link.publish(kv.first, kv.second, true);
        (kv.second.empty() ? counters_.ha_deleted : counters_.ha_published) += 1;
    }
    for (const auto& kv : values) link.publish(kv.first, kv.second, false);
}

}  // namespace smdgw
