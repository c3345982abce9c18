#include "tools/smdgw/http/device_board.h"

#include <json/writer.h>

#include <cstring>

#include "record/record_json.h"
#include "record/veltra_record.h"
#include "tools/smdgw/output/event_writer.h"
#include "tools/smdgw/output/record_samples.h"

namespace smdgw::http {

namespace {

// The chart covers the last hour; a round every second at most is kept.
constexpr int64_t kTrendSeconds = 3600;
constexpr size_t kTrendPoints = 3600;

std::string alarm_identity(const Json::Value& e) {
    return e["key"].asString() + "/" + e["alarm_id"].asString() + "/" +
           std::to_string(e["seq"].asUInt());
}

}  // namespace

DeviceBoard::DeviceBoard(const HostClock* clock, EventHub& hub)
    : clock_(clock ? *clock : system_host_clock()), hub_(hub) {}

void DeviceBoard::add_device(const DeviceInfo& info) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry e;
    e.info = info;
    entries_.push_back(std::move(e));
}

void DeviceBoard::restore_done() {
    std::lock_guard<std::mutex> lock(mutex_);
    restoring_ = false;
    const int64_t t = now();
    for (Entry& e : entries_) e.announced_state = state(e, t);
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

std::string DeviceBoard::state(const Entry& e, int64_t now) const {
    if (e.info.port.empty()) return kStateNoPort;
    if (!e.has_round) return kStateNever;
    if (e.restored) return kStateRestored;
    return now - e.last_round >= kStaleSeconds ? kStateStale : kStateLive;
}

void DeviceBoard::publish(const std::string& device, const Json::Value& event) {
    if (!hub_.has_streams()) return;
    Json::Value line = event;
    if (!device.empty()) line["device"] = device;
    hub_.publish(line["event"].asString(), Json::writeString(event_json_settings(), line));
}

void DeviceBoard::announce(Entry& e, int64_t now) {
    const std::string s = state(e, now);
    if (s == e.announced_state) return;
    Json::Value ev;
    ev["event"] = "state";
    ev["state"] = s;
    ev["previous"] = e.announced_state;
    ev["age_s"] = e.has_round ? Json::Value(static_cast<Json::Int64>(now - e.last_round))
                              : Json::Value();
    e.announced_state = s;
    publish(e.info.name, ev);
}

void DeviceBoard::sample(const std::string& name, const smd::FrameCounters& counters) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry* e = find(name);
    if (!e) return;
    e->counters = counters;
    e->has_counters = true;
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

void DeviceBoard::on_publish(const std::string& device, int data_id, const unsigned char* data,
                             unsigned length) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry* e = find(device);
    if (!e || length != kRecordSize) return;
    const int64_t t = now();
    e->record.assign(data, data + length);
    e->has_round = true;
    e->last_round = t;
    e->restored = restoring_;
    ++e->rounds;
    veltra_record_t rec;
    std::memcpy(&rec, data, sizeof rec);
    e->trend.push_back({t, rec.dc.v, rec.dc.i});
    while (!e->trend.empty() &&
           (e->trend.size() > kTrendPoints || t - e->trend.front().time > kTrendSeconds))
        e->trend.pop_front();
    if (hub_.has_streams()) {
        Json::Value ev;
        ev["event"] = "record";
        ev["data_id"] = data_id;
        ev["length"] = length;
        ev["record"] = record_to_json(rec);
        ev["record"]["complete"] = true;
        ev["record"]["restored"] = e->restored;
        publish(device, ev);
    }
    if (!restoring_) announce(*e, t);
}

void DeviceBoard::on_event(const std::string& device, const Json::Value& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry* e = find(device);
    if (!e) return;
    if (event["event"].asString() == "alarm") {
        const std::string id = alarm_identity(event);
        if (event["state"].asString() == "raised") {
            AlarmView a;
            a.device = device;
            a.alarm_id = event["alarm_id"].asString();
            a.key = event["key"].asString();
            a.seq = event["seq"].asUInt();
            a.level = event["level"].asInt();
            a.message = event["message"].asString();
            a.english = event["english"].asString();
            a.since = now();
            e->alarms[id] = std::move(a);
        } else {
            e->alarms.erase(id);
        }
    }
    publish(device, event);
}

DeviceView DeviceBoard::view(const Entry& e, int64_t now) const {
    DeviceView v;
    v.name = e.info.name;
    v.data_id = e.info.data_id;
    v.address = e.info.address;
    v.port = e.info.port;
    v.role = e.info.role;
    v.state = state(e, now);
    if (e.has_round) {
        v.last_round = e.last_round;
        v.age_s = now - e.last_round;
    }
    v.rounds = e.rounds;
    // Every record the driver publishes closes a whole round; damaged rounds
    // are not published and so not counted here.
    v.rounds_damaged = 0;
    v.frame_errors = e.has_counters ? e.counters.errors() : 0;
    v.complete = e.has_round;
    v.restored = e.restored;
    v.record = e.record;
    for (const auto& kv : e.alarms) v.alarms.push_back(kv.second);
    std::stable_sort(v.alarms.begin(), v.alarms.end(),
                     [](const AlarmView& a, const AlarmView& b) { return a.since < b.since; });
    return v;
}

std::vector<DeviceView> DeviceBoard::devices() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t t = now();
    std::vector<DeviceView> out;
    for (const Entry& e : entries_) out.push_back(view(e, t));
    return out;
}

std::optional<DeviceView> DeviceBoard::device(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Entry* e = find(name);
    if (!e) return std::nullopt;
    return view(*e, now());
}

std::vector<TrendPoint> DeviceBoard::trend(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Entry* e = find(name);
    if (!e) return {};
    return {e->trend.begin(), e->trend.end()};
}

std::vector<PrometheusDevice> DeviceBoard::prometheus() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<PrometheusDevice> out;
    for (const Entry& e : entries_) {
        PrometheusDevice p;
        p.name = e.info.name;
        p.data_id = e.info.data_id;
        p.has_counters = e.has_counters;
        p.counters = e.counters;
        p.rounds = e.rounds;
        for (const auto& kv : e.alarms)
            if (kv.second.alarm_id == kCommAlarmId) p.comm_alarm = true;
        if (e.record.size() == kRecordSize) {
            veltra_record_t rec;
            std::memcpy(&rec, e.record.data(), sizeof rec);
            p.samples = record_samples(rec);
        }
        out.push_back(std::move(p));
    }
    return out;
}

}  // namespace smdgw::http
