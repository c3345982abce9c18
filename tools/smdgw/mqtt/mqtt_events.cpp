#include "tools/smdgw/mqtt/mqtt_events.h"

#include <utility>

#include "host/alarm_english.h"
#include "tools/smdgw/core/alarm_ref.h"

namespace smdgw {

namespace {

// An alarm's identity: the same key, alarm ID and sequence number.
std::string alarm_identity(std::string_view key, std::string_view alarm_id, unsigned seq) {
    std::string id(key);
    id += '\n';
    id += alarm_id;
    id += '\n';
    id += std::to_string(seq);
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
    record_members(obj_, r, settings_.record_form,
                   settings_.battery ? settings_.battery(device) : std::string());
    queue(device, TopicKind::Record, MqttKind::Record, settings_.retain_record, obj_, at_ms);
    if (settings_.recorded) settings_.recorded(device);
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
    const std::string id = alarm_identity(a.key, a.alarm_id, a.seq);
    if (a.raised) {
        ListedAlarm& e = d.active[id];
        const bool listed = !e.id.empty();
        e.id = alarm_ref(device, std::string(a.key), std::string(a.alarm_id), a.seq);
        e.alarm_id.assign(a.alarm_id);
        e.key.assign(a.key);
        e.seq = a.seq;
        e.level = a.level;
        e.message.assign(a.message);
        e.english = smd::alarm_english(e.alarm_id, e.key, e.message);
        // Raised again while listed (it began to flap): the same alarm still.
        if (!listed) e.since_ms = now;
    } else {
        d.active.erase(id);
    }
    publish_list(device, d, now);
}

void MqttEvents::on_active_alarms(const std::string& device, const smd::ActiveAlarms& a) {
    if (!a.alarms || a.loaded) return;
    Device& d = devices_[device];
    bool changed = false;
    for (const ActiveAlarm& al : *a.alarms) {
        const auto it = d.active.find(alarm_identity(al.id.key, al.id.alarm_id, al.id.seq));
        if (it == d.active.end()) continue;
        AlarmAck& ack = it->second.ack;
        if (ack.at == al.ack.at && ack.by == al.ack.by && ack.comment == al.ack.comment) continue;
        ack = al.ack;
        changed = true;
    }
    if (changed) publish_list(device, d, now_ms_());
}

void MqttEvents::publish_list(const std::string& device, const Device& d, int64_t at_ms) {
    std::string list = "[";
    for (const auto& kv : d.active) {
        const ListedAlarm& e = kv.second;
        json_string(obj_.add("id"), e.id);
        json_string(obj_.add("alarm_id"), e.alarm_id);
        json_string(obj_.add("key"), e.key);
        json_uint(obj_.add("seq"), e.seq);
        json_int(obj_.add("level"), e.level);
        json_string(obj_.add("message"), e.message);
        json_string(obj_.add("english"), e.english);
        json_string(obj_.add("since"), iso8601_time(e.since_ms));
        std::string& ack = obj_.add("acknowledged");
        if (e.ack.set()) {
            JsonObject who;
            json_string(who.add("by"), e.ack.by);
            json_string(who.add("comment"), e.ack.comment);
            json_string(who.add("at"), iso8601_time(static_cast<int64_t>(e.ack.at) * 1000));
            who.close(ack);
        } else {
            ack = "null";
        }
        if (list.size() > 1) list += ',';
        obj_.close(list);
    }
    list += ']';
    obj_.add("alarms") = std::move(list);
    json_string(obj_.add("event"), "alarms");
    queue(device, TopicKind::Alarms, MqttKind::Alarms, true, obj_, at_ms);
}

}  // namespace smdgw
