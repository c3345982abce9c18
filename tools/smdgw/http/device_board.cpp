#include "tools/smdgw/http/device_board.h"

#include <json/writer.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "host/alarm_english.h"
#include "record/record_json.h"
#include "tools/smdgw/core/alarm_ref.h"
#include "tools/smdgw/core/shown_state.h"
#include "record/veltra_record.h"
#include "tools/smdgw/output/event_render.h"
#include "tools/smdgw/output/event_writer.h"

namespace smdgw::http {

namespace {

// The chart covers the last hour; a round every second at most is kept.
constexpr int64_t kTrendSeconds = 3600;
constexpr size_t kTrendPoints = 3600;

}  // namespace

DeviceBoard::DeviceBoard(const HostClock* clock, EventHub& hub, const DeviceStates& states)
    : clock_(clock ? *clock : system_host_clock()), hub_(hub), states_(states) {}

void DeviceBoard::add_device(const DeviceInfo& info) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry e;
    e.info = info;
    entries_.push_back(std::move(e));
}

void DeviceBoard::restore_done() {
    std::lock_guard<std::mutex> lock(mutex_);
    restoring_ = false;
    for (Entry& e : entries_) {
        DeviceState d;
        states_.get(e.info.name, d);
        e.announced_state = data_state_name(d.data_state);
    }
}

DeviceBoard::Entry* DeviceBoard::find(const std::string& name) {
    for (Entry& e : entries_)
        if (e.info.name == name) return &e;
    return nullptr;
}

const DeviceBoard::Entry* DeviceBoard::find(const std::string& name) const {
    for (const Entry& e : entries_)
        if (e.info.name == name) return &e;
    return nullptr;
}

int64_t DeviceBoard::now() const { return static_cast<int64_t>(clock_.unix_time()); }

void DeviceBoard::publish(const std::string& device, const Json::Value& event) {
    if (!hub_.has_streams()) return;
    Json::Value line = event;
    if (!device.empty()) line["device"] = device;
    hub_.publish(line["event"].asString(), Json::writeString(event_json_settings(), line));
}

void DeviceBoard::publish(const std::string& device, const char* kind, JsonObject& members) {
    json_string(members.add("device"), device);
    std::string text;
    members.close(text);
    hub_.publish(kind, text);
}

void DeviceBoard::announce(Entry& e, int64_t now) {
    DeviceState d;
    if (!states_.get(e.info.name, d)) return;
    // The host judges the state (stale after the device's "stale_after_s",
    // restored, no-port); the page and the API show its judgement.
    const std::string s = data_state_name(d.data_state);
    if (s == e.announced_state) return;
    Json::Value ev;
    ev["event"] = "state";
    ev["state"] = s;
    ev["previous"] = e.announced_state;
    ev["age_s"] = d.has_record()
                      ? Json::Value(static_cast<Json::Int64>(now - d.record_unix_time))
                      : Json::Value();
    e.announced_state = s;
    publish(e.info.name, ev);
}

void DeviceBoard::tick() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (restoring_) return;
    const int64_t t = now();
    for (Entry& e : entries_) announce(e, t);
}

void DeviceBoard::forward(const std::string& device, const Json::Value& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    publish(device, line);
}

void DeviceBoard::on_publish(const std::string& device, const smd::RecordPublished& r) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry* e = find(device);
    if (!e || r.length != kRecordSize) return;
    const int64_t t = static_cast<int64_t>(r.unix_time);
    // The chart plots what the DC panels really read: rounds that refreshed them.
    if (r.quality.fresh() & smd::section_bit(smd::Section::Dc)) {
        veltra_record_t rec;
        std::memcpy(&rec, r.data, sizeof rec);
        e->trend.push_back({t, rec.dc.v, rec.dc.i});
    }
    while (!e->trend.empty() &&
           (e->trend.size() > kTrendPoints || t - e->trend.front().time > kTrendSeconds))
        e->trend.pop_front();
    if (hub_.has_streams()) {
        // The same members as the JSON output and MQTT.
        JsonObject obj;
        const std::string battery = battery_ ? battery_(device) : std::string();
        record_members(obj, r, RecordForm::Full, battery);
        publish(device, "record", obj);
    }
    if (!restoring_) announce(*e, now());
}

void DeviceBoard::on_alarm(const std::string& device, const smd::AlarmChange& a) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!find(device) || !hub_.has_streams()) return;
    JsonObject obj;
    alarm_members(obj, a);
    publish(device, "alarm", obj);
}

void DeviceBoard::on_report(const std::string& device, const smd::AnalogReport& r) {
    if (!hub_.has_streams()) return;
    Json::Value ev;
    ev["event"] = "report";
    ev["signal_id"] = std::string(r.signal_id);
    ev["value"] = std::isfinite(r.value) ? Json::Value(r.value) : Json::Value();
    std::lock_guard<std::mutex> lock(mutex_);
    publish(device, ev);
}

void DeviceBoard::on_command(const std::string& device, const smd::CommandSent& c) {
    if (!hub_.has_streams()) return;
    Json::Value ev;
    ev["event"] = "command";
    ev["cid1"] = c.cid1;
    ev["cid2"] = c.cid2;
    ev["info"] = std::string(c.info);
    ev["frame"] = std::string(c.frame);
    ev["sent"] = c.sent;
    std::lock_guard<std::mutex> lock(mutex_);
    publish(device, ev);
}

DeviceView DeviceBoard::view(const Entry& e, const DeviceState& d, int64_t now) const {
    DeviceView v;
    v.name = e.info.name;
    v.data_id = e.info.data_id;
    v.address = e.info.address;
    v.port = e.info.port;
    v.role = e.info.role;
    v.state = data_state_name(d.data_state);
    v.now = now;
    if (d.has_record()) {
        v.last_round = static_cast<int64_t>(d.record_unix_time);
        v.age_s = now - *v.last_round;
    }
    v.rounds = d.counters.rounds_live;
    v.rounds_damaged = d.counters.rounds_damaged;
    v.frame_errors = d.counters.frames.errors();
    v.complete = d.has_round && d.last_round.complete();
    v.restored = d.has_round && d.last_round.restored;
    const ShownState shown = shown_state(d);
    if (shown.record) v.record = *shown.record;
    for (smd::Section s : smd::kSections) {
        const SectionView& sv = d.section(s);
        SectionStateView out;
        out.name = smd::plant_section(s).name;
        out.state = smd::freshness_name(sv.state);
        if (sv.refreshed_at) out.refreshed = static_cast<int64_t>(*sv.refreshed_at);
        v.sections.push_back(std::move(out));
    }
    const auto alarm_view = [&](const std::string& key, const std::string& alarm_id, unsigned seq,
                                int level, const std::string& message, std::time_t since) {
        AlarmView a;
        a.id = alarm_ref(e.info.name, key, alarm_id, seq);
        a.device = e.info.name;
        a.alarm_id = alarm_id;
        a.key = key;
        a.seq = seq;
        a.level = level;
        a.message = message;
        a.english = smd::alarm_english(a.alarm_id, a.key, a.message);
        // As the host holds it: the time it was raised, kept across restarts.
        a.since = since != 0 ? static_cast<int64_t>(since) : now;
        return a;
    };
    for (const auto& kv : d.alarms) {
        if (!kv.second.active) continue;
        AlarmView a = alarm_view(kv.first.key, kv.first.alarm_id, kv.first.seq, kv.second.level,
                                 kv.second.message, kv.second.since);
        a.state = kv.second.flapping ? "flapping" : "raised";
        a.ack_by = kv.second.ack.by;
        a.ack_comment = kv.second.ack.comment;
        a.ack_at = static_cast<int64_t>(kv.second.ack.at);
        v.alarms.push_back(std::move(a));
    }
    for (const ActiveAlarm& p : d.pending_alarms) {
        AlarmView a = alarm_view(p.id.key, p.id.alarm_id, p.id.seq, p.level, p.message, p.since);
        a.state = "pending";
        v.pending.push_back(std::move(a));
    }
    const auto oldest_first = [](const AlarmView& a, const AlarmView& b) {
        return a.since < b.since;
    };
    std::stable_sort(v.alarms.begin(), v.alarms.end(), oldest_first);
    std::stable_sort(v.pending.begin(), v.pending.end(), oldest_first);
    return v;
}

std::vector<DeviceView> DeviceBoard::devices() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t t = now();
    std::vector<DeviceView> out;
    for (const Entry& e : entries_) {
        DeviceState d;
        states_.get(e.info.name, d);
        out.push_back(view(e, d, t));
    }
    return out;
}

std::optional<DeviceView> DeviceBoard::device(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Entry* e = find(name);
    if (!e) return std::nullopt;
    DeviceState d;
    states_.get(name, d);
    return view(*e, d, now());
}

std::vector<TrendPoint> DeviceBoard::trend(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Entry* e = find(name);
    if (!e) return {};
    return {e->trend.begin(), e->trend.end()};
}

std::vector<PrometheusDevice> DeviceBoard::prometheus() const {
    return prometheus_devices(states_.all());
}

}  // namespace smdgw::http
