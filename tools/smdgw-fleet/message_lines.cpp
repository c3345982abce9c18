#include "tools/smdgw-fleet/message_lines.h"

#include <cmath>
#include <iterator>

#include <json/reader.h>

#include <memory>

#include "host/plant_sections.h"
#include "tools/smdgw-fleet/event_time.h"
#include "tools/smdgw-fleet/record_decode.h"
#include "tools/smdgw/output/influx_writer.h"
#include "tools/smdgw/output/record_samples.h"

namespace smdgw {

namespace {

// A payload beyond this is no gateway's (a full record is about 9 kB).
constexpr size_t kMaxPayload = 256 * 1024;

bool parse_json(const std::string& text, Json::Value& out) {
    static const std::unique_ptr<Json::CharReader> reader = [] {
        Json::CharReaderBuilder b;
        b["collectComments"] = false;
        b["stackLimit"] = 64;
        b["rejectDupKeys"] = true;
        return std::unique_ptr<Json::CharReader>(b.newCharReader());
    }();
    return reader->parse(text.data(), text.data() + text.size(), &out, nullptr) &&
           out.isObject();
}

std::string tag(const std::string& key, const std::string& value) {
    return "," + key + "=" + influx_key(value.empty() ? "-" : value);
}

std::string num(double v) { return influx_float(v); }

// The sections a round refreshed: its "sections" that are "fresh"; a round
// that does not say: all of a complete one, none of a damaged one.
smd::SectionMask fresh_sections(const Json::Value& m) {
    const Json::Value& sections = m["sections"];
    if (sections.isObject()) {
        smd::SectionMask mask = smd::kNoSection;
        for (smd::Section s : smd::kSections) {
            const Json::Value& v = sections[smd::plant_section(s).name];
            if (v.isString() && v.asString() == "fresh") mask |= smd::section_bit(s);
        }
        return mask;
    }
    const Json::Value& complete = m["complete"];
    return complete.isBool() && !complete.asBool() ? smd::kNoSection : smd::kAllSections;
}

// A record's battery estimate as smdgw_battery: the fields are named so that
// VictoriaMetrics' series (measurement_field) are the gateway's own
// Prometheus families (smdgw_battery_state, _charge_ratio, _runtime_seconds,
// ...); what the estimate does not know is left out.
void battery_line(const std::string& tags, const Json::Value& b, const std::string& ts,
                  std::string& out) {
    if (!b.isObject()) return;
    static const char* const kStates[] = {"unknown", "float", "charging", "discharging",
                                          "disconnected"};
    std::string fields;
    const Json::Value& state = b["state"];
    for (size_t k = 0; k < std::size(kStates); ++k)
        if (state.isString() && state.asString() == kStates[k])
            fields = "state=" + num(static_cast<double>(k));
    const struct {
        const char* member;
        const char* field;
    } numbers[] = {
        {"charge", "charge_ratio"},         {"runtime_s", "runtime_seconds"},
        {"runtime_low_s", "runtime_low_seconds"}, {"runtime_high_s", "runtime_high_seconds"},
        {"current_a", "current_amperes"},   {"temperature_c", "temperature_celsius"},
        {"capacity_ah", "capacity_ah"},     {"learned_capacity_ah", "learned_capacity_ah"},
    };
    for (const auto& n : numbers) {
        const Json::Value& v = b[n.member];
        if (!v.isNumeric() || !std::isfinite(v.asDouble())) continue;
        fields += (fields.empty() ? "" : ",") + std::string(n.field) + "=" + num(v.asDouble());
    }
    if (!fields.empty()) out += "smdgw_battery" + tags + " " + fields + ts;
}

void record_lines(const std::string& tags, const Json::Value& m, uint64_t pub_seq,
                  const std::string& ts, std::string& out) {
    const smd::SectionMask fresh = fresh_sections(m);
    const Json::Value& damage = m["damage"];
    const Json::Value& complete = m["complete"];
    out += "veltra_round" + tags + " complete=" +
           (complete.isBool() && !complete.asBool() ? "0.0" : "1.0") +
           ",frame_errors=" + num(damage["frame_errors"].isNumeric() ? damage["frame_errors"].asDouble() : 0) +
           ",unanswered_commands=" +
           num(damage["unanswered_commands"].isNumeric() ? damage["unanswered_commands"].asDouble() : 0);
    for (smd::Section s : smd::kSections)
        out += std::string(",") + smd::plant_section(s).name + "_fresh=" +
               ((fresh & smd::section_bit(s)) ? "1.0" : "0.0");
    out += ",pub_seq=" + num(static_cast<double>(pub_seq)) + ts;
    battery_line(tags, m["battery"], ts, out);
    veltra_record_t rec;
    if (fresh == smd::kNoSection || !decode_record(m, rec)) return;
    // The same lines as `smdgw --format influx` writes for these sections.
    const Sample* open = nullptr;
    for (const Sample& s : record_samples(rec, fresh)) {
        if (!open || open->section != s.section || open->instance != s.instance) {
            if (open) out += ts;
            open = &s;
            out += influx_measurement(s.section->name) + tags;
            if (s.section->tag)
                out += "," + influx_key(s.section->tag) + "=" + std::to_string(s.instance);
            out += ' ';
        } else {
            out += ',';
        }
        out += influx_key(s.field->field) + "=" + num(s.value);
    }
    if (open) out += ts;
}

std::string text_of(const Json::Value& v) {
    if (v.isString()) return v.asString();
    if (v.isIntegral()) return std::to_string(v.asLargestInt());
    return "";
}

void alarm_series(const std::string& gateway, const ListedAlarm& a, bool active,
                  const std::string& ts, std::string& out) {
    out += "smdgw_alarm" + tag("gateway", gateway) + tag("site", gateway) +
           tag("device", a.device) + tag("alarm_id", a.alarm_id) + tag("level", a.level) +
           (active ? " active=1.0" : " active=0.0") + ts;
}

}  // namespace

bool MessageLines::up(const GatewayTally& g, int64_t now_ms) const {
    return now_ms - g.last_seen_ms <= silent_after_ms_ && (!g.status_known || g.online);
}

size_t MessageLines::gateways_up(int64_t now_ms) const {
    size_t n = 0;
    for (const auto& kv : ledger_.gateways()) n += up(kv.second, now_ms) ? 1 : 0;
    return n;
}

Taken MessageLines::take(const std::string& topic, const std::string& payload, int64_t now_ms,
                         std::string& out, std::string& why) {
    const TopicRoute r = route_topic(topic, prefix_, sharded_);
    if (r.kind == MessageKind::Unknown) return Taken::NotOurs;
    const std::string gw = tag("gateway", r.gateway);
    if (r.kind == MessageKind::Status) {
        // "online", or "offline" at a clean stop and as the last will.
        const bool online = payload == "online";
        if (!online && payload != "offline") {
            why = "status is neither online nor offline";
            return Taken::Unreadable;
        }
        ledger_.set_status(r.gateway, online, now_ms);
        out += "smdgw_gateway" + gw + " up=" + (online ? "1.0" : "0.0") + " " +
               std::to_string(now_ms * 1000000) + "\n";
        return Taken::Written;
    }
    Json::Value m;
    if (payload.size() > kMaxPayload || !parse_json(payload, m)) {
        why = payload.size() > kMaxPayload ? "payload too long" : "not a JSON object";
        return Taken::Unreadable;
    }
    int64_t at_ms = 0;
    const Json::Value& seq = m["pub_seq"];
    if (!m["time"].isString() || !parse_event_time(m["time"].asString(), at_ms) ||
        !seq.isUInt64() || !m["boot_id"].isString()) {
        why = "no time, pub_seq or boot_id";
        return Taken::Unreadable;
    }
    const std::string device = m["device"].isString() ? m["device"].asString() : r.device;
    const std::string stream = r.device + "/" + message_kind_name(r.kind);
    if (ledger_.take(r.gateway, stream, m["boot_id"].asString(), seq.asUInt64(), now_ms) ==
        Arrival::Repeat)
        return Taken::Repeat;
    last_lag_ms_ = now_ms - at_ms;
    const std::string ts = " " + std::to_string(at_ms * 1000000) + "\n";
    const std::string tags = gw + tag("device", device);
    switch (r.kind) {
        case MessageKind::Record:
            record_lines(tags, m, seq.asUInt64(), ts, out);
            break;
        case MessageKind::Alarm: {
            const bool raised = m["state"].isString() && m["state"].asString() == "raised";
            out += "veltra_alarm" + tags + tag("alarm_id", text_of(m["alarm_id"])) +
                   tag("key", text_of(m["key"])) + tag("seq", text_of(m["seq"])) +
                   " active=" + (raised ? "1.0" : "0.0") +
                   ",level=" + num(m["level"].isNumeric() ? m["level"].asDouble() : 0) + ts;
            break;
        }
        case MessageKind::Alarms: {
            std::vector<ListedAlarm> active;
            const Json::Value& list = m["alarms"];
            for (Json::ArrayIndex i = 0; list.isArray() && i < list.size(); ++i)
                active.push_back(
                    {device, text_of(list[i]["alarm_id"]), text_of(list[i]["level"])});
            out += "veltra_alarms_active" + tags + " count=" +
                   num(static_cast<double>(active.size())) + ts;
            for (const ListedAlarm& a : active) alarm_series(r.gateway, a, true, ts, out);
            for (const ListedAlarm& a : ledger_.set_alarms(r.gateway, device, std::move(active)))
                alarm_series(r.gateway, a, false, ts, out);
            break;
        }
        case MessageKind::State: {
            const std::string state = text_of(m["state"]);
            out += "veltra_state" + tags + tag("state", state) +
                   " live=" + (state == "live" ? "1.0" : "0.0") + ts;
            break;
        }
        case MessageKind::Dropped: {
            const Json::Value& kinds = m["dropped"];
            uint64_t n = 0;
            for (Json::ArrayIndex i = 0; kinds.isArray() && i < kinds.size(); ++i) {
                const Json::Value& count = kinds[i]["count"];
                n += count.isUInt64() ? count.asUInt64() : 0;
                out += "smdgw_dropped" + gw + tag("kind", text_of(kinds[i]["kind"])) +
                       " count=" + num(count.isNumeric() ? count.asDouble() : 0) + ",total=" +
                       num(m["dropped_total"].isNumeric() ? m["dropped_total"].asDouble() : 0) + ts;
            }
            ledger_.add_dropped(r.gateway, n);
            break;
        }
        case MessageKind::Status:
        case MessageKind::Unknown:
            break;
    }
    return Taken::Written;
}

void MessageLines::tick(int64_t now_ms, std::string& out) {
    const std::string ts = " " + std::to_string(now_ms * 1000000) + "\n";
    for (const auto& kv : ledger_.gateways()) {
        const GatewayTally& g = kv.second;
        out += "smdgw_gateway" + tag("gateway", kv.first) + " up=" +
               (up(g, now_ms) ? "1.0" : "0.0") +
               ",last_seen=" + num(static_cast<double>(g.last_seen_ms / 1000)) +
               ",gaps=" + num(static_cast<double>(g.gaps)) + ts;
        for (const ListedAlarm& a : ledger_.alarms(kv.first)) alarm_series(kv.first, a, true, ts, out);
    }
}

}  // namespace smdgw
