#include "tools/smdgw/http/api_json.h"

#include <json/writer.h>

#include <cstdio>
#include <ctime>

#include "record/record_json.h"
#include "tools/smdgw/core/value_keys.h"
#include "tools/smdgw/output/event_writer.h"

namespace smdgw::http {

std::string iso_time(int64_t unix_seconds) {
    const std::time_t t = static_cast<std::time_t>(unix_seconds);
    std::tm tm{};
    if (!localtime_r(&t, &tm)) return {};
    char buf[40];
    if (std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm) == 0) return {};
    // Offsets lie within a day.
    const long off = tm.tm_gmtoff;
    const unsigned abs_off = static_cast<unsigned>(off < 0 ? -off : off) % 86400u;
    char zone[16];
    std::snprintf(zone, sizeof zone, "%c%02u:%02u", off < 0 ? '-' : '+', abs_off / 3600u,
                  (abs_off % 3600u) / 60u);
    return std::string(buf) + zone;
}

Json::Value device_json(const DeviceView& d) {
    Json::Value v;
    v["name"] = d.name;
    v["data_id"] = d.data_id;
    v["address"] = d.address ? Json::Value(*d.address) : Json::Value();
    v["port"] = d.port.empty() ? Json::Value() : Json::Value(d.port);
    v["role"] = d.role;
    v["state"] = d.state;
    v["last_round"] = d.last_round ? Json::Value(iso_time(*d.last_round)) : Json::Value();
    v["age_s"] = d.last_round ? Json::Value(static_cast<Json::Int64>(d.age_s)) : Json::Value();
    v["rounds"] = static_cast<Json::UInt64>(d.rounds);
    v["rounds_damaged"] = static_cast<Json::UInt64>(d.rounds_damaged);
    v["frame_errors"] = static_cast<Json::UInt64>(d.frame_errors);
    v["alarms_active"] = static_cast<Json::UInt64>(d.alarms.size());
    return v;
}

namespace {

// A section's freshness and its last refresh, with its age.
void section_json(Json::Value& e, const SectionStateView& s, int64_t now) {
    e["state"] = s.state;
    e["refreshed"] = s.refreshed ? Json::Value(iso_time(*s.refreshed)) : Json::Value();
    e["age_s"] = s.refreshed ? Json::Value(static_cast<Json::Int64>(now - *s.refreshed))
                             : Json::Value();
}

}  // namespace

void value_section(Json::Value& out, const DeviceView& d, const std::string& key) {
    const ValueKey* k = find_value_key(key);
    if (!k) return;
    const std::string name = smd::plant_section(k->section).name;
    for (const SectionStateView& s : d.sections) {
        if (s.name != name) continue;
        Json::Value e;
        section_json(e, s, d.now);
        out["section"] = name;
        out["section_state"] = e["state"];
        out["refreshed"] = e["refreshed"];
        out["age_s"] = e["age_s"];
    }
}

Json::Value alarm_json(const AlarmView& a) {
    Json::Value v;
    v["id"] = a.id;
    v["state"] = a.state;
    v["device"] = a.device;
    v["alarm_id"] = a.alarm_id;
    v["key"] = a.key;
    v["seq"] = a.seq;
    v["level"] = a.level;
    v["message"] = a.message;
    v["english"] = a.english;
    v["since"] = iso_time(a.since);
    if (a.state != "pending") {
        Json::Value ack;  // null: nobody has acknowledged it
        if (a.ack_at != 0) {
            ack["by"] = a.ack_by;
            ack["comment"] = a.ack_comment;
            ack["at"] = iso_time(a.ack_at);
        }
        v["acknowledged"] = ack;
    }
    return v;
}

Json::Value device_detail_json(const DeviceView& d) {
    Json::Value v = device_json(d);
    Json::Value rec = record_to_json_bytes(d.record.data(), d.record.size());
    if (rec.isObject()) {
        rec["complete"] = d.complete;
        rec["restored"] = d.restored;
    }
    v["record"] = rec;
    // What of the record is shown: each section's freshness and the time
    // (and age) of the last live round that refreshed it.
    Json::Value sections(Json::objectValue);
    for (const SectionStateView& s : d.sections) section_json(sections[s.name], s, d.now);
    v["sections"] = sections;
    Json::Value alarms(Json::arrayValue);
    for (const AlarmView& a : d.alarms) alarms.append(alarm_json(a));
    v["alarms"] = alarms;
    Json::Value pending(Json::arrayValue);
    for (const AlarmView& a : d.pending) pending.append(alarm_json(a));
    v["pending"] = pending;
    return v;
}

Json::Value error_json(const std::string& message) {
    Json::Value v;
    v["error"] = message;
    return v;
}

std::string json_text(const Json::Value& v) {
    return Json::writeString(event_json_settings(), v);
}

}  // namespace smdgw::http
