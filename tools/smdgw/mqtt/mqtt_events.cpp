#include "tools/smdgw/mqtt/mqtt_events.h"

#include <utility>

#include "tools/smdgw/mqtt/mqtt_topic.h"
#include "tools/smdgw/output/event_render.h"

namespace smdgw {

namespace {

// An alarm's identity: the same key, alarm ID and sequence number.
std::string alarm_identity(const Json::Value& e) {
    return e["key"].asString() + '\n' + e["alarm_id"].asString() + '\n' +
           std::to_string(e["seq"].asInt64());
}

}  // namespace

MqttEvents::MqttEvents(std::string prefix, std::string boot_id, bool publish_damaged, NowMs now_ms,
                       Queue queue)
    : prefix_(std::move(prefix)),
      boot_id_(std::move(boot_id)),
      damaged_(publish_damaged),
      now_ms_(std::move(now_ms)),
      queue_(std::move(queue)) {}

MqttEvents::Device& MqttEvents::find(const std::string& device) { return devices_[device]; }

void MqttEvents::add_device(const std::string& device) {
    Json::Value e;
    e["event"] = "state";
    state(device, "never", e);
}

void MqttEvents::queue(const std::string& device, TopicKind kind, DropClass cls, bool retain,
                       Json::Value payload, int64_t at_ms) {
    PendingMessage m;
    m.topic = device_topic(prefix_, device, kind);
    m.seq_device = device;
    m.seq_kind = topic_kind_name(kind);
    m.drop_class = cls;
    m.retain = retain;
    payload["device"] = device;
    payload["boot_id"] = boot_id_;
    payload["time"] = iso8601_time(at_ms);
    m.payload = std::move(payload);
    m.created_ms = at_ms;
    queue_(std::move(m));
}

void MqttEvents::on_publish(const std::string& device, int data_id, const unsigned char* data,
                            unsigned length) {
    record(device, record_event(data_id, data, length));
}

void MqttEvents::record(const std::string& device, Json::Value event) {
    if (restoring_ || (event.isMember("restored") && event["restored"].asBool())) return;
    const int64_t now = now_ms_();
    const bool complete = !event.isMember("complete") || event["complete"].asBool();
    if (complete || damaged_)
        queue(device, TopicKind::Record, DropClass::Record, true, event, now);
    Device& d = find(device);
    if (!d.host_states && d.state != "live") {
        Json::Value e;
        e["event"] = "state";
        state(device, "live", e);
    }
}

void MqttEvents::state(const std::string& device, const std::string& state,
                       const Json::Value& event) {
    Device& d = find(device);
    d.state = state;
    Json::Value payload = event;
    payload["state"] = state;
    const int64_t now = now_ms_();
    if (!payload.isMember("since")) payload["since"] = iso8601_time(now);
    queue(device, TopicKind::State, DropClass::State, true, std::move(payload),
          now);
}

void MqttEvents::alarm(const std::string& device, const Json::Value& event) {
    const int64_t now = now_ms_();
    queue(device, TopicKind::Alarm, DropClass::Alarm, false, event, now);
    Device& d = find(device);
    const std::string id = alarm_identity(event);
    if (event["state"].asString() == "raised") {
        Json::Value entry;
        for (const char* k : {"alarm_id", "key", "seq", "level", "message", "english"})
            if (event.isMember(k)) entry[k] = event[k];
        entry["since"] = iso8601_time(now);
        d.active[id] = entry;
    } else {
        d.active.erase(id);
    }
    Json::Value list;
    list["event"] = "alarms";
    list["alarms"] = Json::Value(Json::arrayValue);
    for (const auto& kv : d.active) list["alarms"].append(kv.second);
    queue(device, TopicKind::Alarms, DropClass::AlarmList, true, std::move(list),
          now);
}

void MqttEvents::on_event(const std::string& device, const Json::Value& event) {
    const std::string kind = event["event"].asString();
    if (kind == "alarm") {
        alarm(device, event);
    } else if (kind == "state") {
        find(device).host_states = true;
        state(device, event["state"].asString(), event);
    }
}

}  // namespace smdgw
