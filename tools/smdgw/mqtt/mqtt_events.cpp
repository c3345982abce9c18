#include "tools/smdgw/mqtt/mqtt_events.h"

#include <utility>


namespace smdgw {

namespace {

// An alarm's identity: the same key, alarm ID and sequence number.
std::string alarm_identity(const smd::AlarmChange& a) {
    std::string id(a.key);
    id += '\n';
    id += a.alarm_id;
    id += '\n';
    id += std::to_string(a.seq);
    return id;
}

}  // namespace

MqttEvents::MqttEvents(std::string prefix, std::string boot_id, NowMs now_ms, Queue queue,
                       Settings settings)
    : prefix_(std::move(prefix)),
      boot_id_(std::move(boot_id)),
      now_ms_(std::move(now_ms)),
      queue_(std::move(queue)),
      settings_(settings),
      records_(settings.record_interval_s,
               [this](const std::string& device, const smd::RecordPublished& r, int64_t at_ms) {
                   record(device, r, at_ms);
               }) {}

void MqttEvents::add_device(const std::string& device) { state(device, "never", now_ms_()); }

void MqttEvents::queue(const std::string& device, TopicKind kind, MqttKind mqtt_kind, bool retain,
                       JsonObject& event, int64_t at_ms) {
    OutgoingMessage m;
    m.target = device_topic(prefix_, device, kind);
    m.stream = pub_seq_stream(device, topic_kind_name(kind));
    m.kind = static_cast<uint8_t>(mqtt_kind);
    m.flags = retain ? kMqttRetain : 0;
    m.created_ms = at_ms;
    json_string(event.add("device"), device);
    json_string(event.add("boot_id"), boot_id_);
    json_string(event.add("time"), iso8601_time(at_ms));
    event.add("pub_seq");  // the outbox's number, given when it stores the message
    m.seq_at = event.close_marking(m.payload, "pub_seq");
    queue_(std::move(m));
}

void MqttEvents::on_publish(const std::string& device, const smd::RecordPublished& r) {
    if (restoring_ || r.quality.restored) return;
    if (!r.quality.complete() && !settings_.publish_damaged) return;
    records_.offer(device, r, now_ms_());
}

void MqttEvents::record(const std::string& device, const smd::RecordPublished& r, int64_t at_ms) {
    record_members(obj_, r, settings_.record_form);
    queue(device, TopicKind::Record, MqttKind::Record, true, obj_, at_ms);
}

void MqttEvents::on_state(const std::string& device, const smd::StateChanged& s) {
    const std::string name = data_state_name(s.state);
    if (devices_[device].state == name) return;
    // The last values read go before the device goes quiet.
    if (name != "live") records_.flush(device);
    state(device, name, now_ms_());
}

void MqttEvents::state(const std::string& device, const std::string& state, int64_t at_ms) {
    devices_[device].state = state;
    json_string(obj_.add("event"), "state");
    json_string(obj_.add("state"), state);
    json_string(obj_.add("since"), iso8601_time(at_ms));
    queue(device, TopicKind::State, MqttKind::State, true, obj_, at_ms);
}

void MqttEvents::on_alarm(const std::string& device, const smd::AlarmChange& a) {
    const int64_t now = now_ms_();
    alarm_members(obj_, a);
    queue(device, TopicKind::Alarm, MqttKind::Alarm, false, obj_, now);
    Device& d = devices_[device];
    const std::string id = alarm_identity(a);
    if (a.raised) {
        json_string(obj_.add("alarm_id"), a.alarm_id);
        json_string(obj_.add("key"), a.key);
        json_uint(obj_.add("seq"), a.seq);
        json_int(obj_.add("level"), a.level);
        json_string(obj_.add("message"), a.message);
        json_string(obj_.add("since"), iso8601_time(now));
        std::string entry;
        obj_.close(entry);
        d.active[id] = std::move(entry);
    } else {
        d.active.erase(id);
    }
    std::string& list = obj_.add("alarms");
    list = "[";
    for (const auto& kv : d.active) {
        if (list.size() > 1) list += ',';
        list += kv.second;
    }
    list += ']';
    json_string(obj_.add("event"), "alarms");
    queue(device, TopicKind::Alarms, MqttKind::Alarms, true, obj_, now);
}

}  // namespace smdgw
