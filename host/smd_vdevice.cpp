#include "host/smd_vdevice.h"

#include <json/value.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/analog_signals.h"
#include "host/frame_codec.h"
#include "host/number_text.h"

namespace {

// Reads the host's alarm tables from the device entry. Shapes are checked by
// the gateway's configuration loader; here a member of another type is
// skipped rather than guessed at.
void load_levels(const Json::Value& obj, std::map<std::string, int>& out) {
    if (!obj.isObject()) return;
    for (const auto& name : obj.getMemberNames())
        if (obj[name].isNumeric()) out[name] = obj[name].asInt();
}

void load_values(const Json::Value& obj, std::map<std::string, float>& out) {
    if (!obj.isObject()) return;
    for (const auto& name : obj.getMemberNames())
        if (obj[name].isNumeric()) out[name] = obj[name].asFloat();
}

void load_limits(const Json::Value& obj, std::map<std::string, SMDVDevice::Limit>& out) {
    if (!obj.isObject()) return;
    for (const auto& name : obj.getMemberNames()) {
        const Json::Value& e = obj[name];
        if (!e.isObject()) continue;
        SMDVDevice::Limit lim;
        if (e["upper"].isNumeric()) {
            lim.has_upper = true;
            lim.upper = e["upper"].asFloat();
        }
        if (e["lower"].isNumeric()) {
            lim.has_lower = true;
            lim.lower = e["lower"].asFloat();
        }
        out[name] = lim;
    }
}

void load_reports(const Json::Value& obj, std::map<std::string, SMDVDevice::BAOSetting>& out) {
    if (!obj.isObject()) return;
    for (const auto& name : obj.getMemberNames()) {
        const Json::Value& e = obj[name];
        if (!e.isObject()) continue;
        SMDVDevice::BAOSetting s;
        auto flag = [&](const char* k) { return e[k].isBool() && e[k].asBool(); };
        auto num = [&](const char* k) { return e[k].isNumeric() ? e[k].asFloat() : 0.0f; };
        s.change_enabled = flag("change_enabled");
        s.change_delta = num("change_delta");
        s.percent_enabled = flag("percent_enabled");
        s.percent = num("percent");
        s.period_enabled = flag("period_enabled");
        s.period_minutes = num("period_minutes");
        s.last_time = e["last_time"].isUInt() ? e["last_time"].asUInt() : 0;
        s.last_value = num("last_value");
        out[name] = s;
    }
}

// A driver option as the driver reads it: a number or its text, true as 1.
int option_number(const Json::Value& v, int fallback) {
    if (v.isBool()) return v.asBool() ? 1 : 0;
    if (v.isNumeric()) return v.asInt();
    if (v.isString()) return static_cast<int>(std::strtol(v.asCString(), nullptr, 10));
    return fallback;
}

}  // namespace

SMDVDevice::SMDVDevice() = default;
SMDVDevice::~SMDVDevice() = default;

std::shared_ptr<SMDVDevice> SMDVDevice::GetChildVDevice(unsigned index) {
    (void)index;
    return {};
}

std::vector<std::shared_ptr<SMDVDevice>> SMDVDevice::GetAllChildVDevices() { return {}; }

float SMDVDevice::Get_SP_Value(unsigned index, const std::string& key) {
    return Get_Value(index, key);
}

void SMDVDevice::Init(std::weak_ptr<SMDController> controller, unsigned index,
                      const Json::Value& entry) {
    VDeviceInterface::Init(std::move(controller), index, entry);
    if (entry.isObject()) {
        load_levels(entry["alarm_levels"], alarm_level_map_);
        load_values(entry["alarm_thresholds"], alarm_value_map_);
        load_limits(entry["limits"], limit_map_);
        load_reports(entry["reports"], bao_map_);
        // Checked by the gateway's configuration loader.
        if (entry["alarm_confirm_rounds"].isUInt())
            health_.alarms.set_confirm_rounds(entry["alarm_confirm_rounds"].asUInt());
        if (entry["stale_after_s"].isNumeric())
            health_.state.set_stale_after(entry["stale_after_s"].asDouble());
        if (entry["section_missing_rounds"].isUInt())
            health_.judge.set_missing_rounds(entry["section_missing_rounds"].asUInt());
        if (entry["section_stale_rounds"].isUInt())
            health_.judge.set_stale_rounds(entry["section_stale_rounds"].asUInt());
        // Checked by the gateway's configuration loader like the rest.
        std::vector<std::string> policy_problems;
        policy_.configure(AlarmPolicyConfig::parse(entry["alarm_policy"], policy_problems));
        if (entry["section_alarm_level"].isInt())
            section_alarm_level_ = entry["section_alarm_level"].asInt();
        if (entry["appSetting"].isObject())
            ac_line_ = option_number(entry["appSetting"]["ac_line"], ac_line_);
    }
    // A device that never completes a round raises its communication alarm
    // 120 s after start.
    last_time_ = clock_->local_time();
}

void SMDVDevice::SendSP(int data_id, const unsigned char* data, unsigned length, bool flag) {
    if (tracing()) {
        const std::string hex = smd::to_hex(data, length);
        trace(smd::HostCall("SendSP")
                  .arg("data_id", data_id)
                  .arg("length", length)
                  .arg("flag", flag)
                  .arg("hex", hex));
    }
    ++published_count_;
    // The round the driver publishes is judged here, section by section.
    finish_round();
    const double mono = clock_->monotonic_seconds();
    const std::time_t wall = clock_->unix_time();
    RoundQuality q;
    if (restoring_) {
        q.restored = true;
        q.sections = health_.sections;
    } else {
        q = health_.judge.close_round();
        health_.sections = q.sections;
        for (smd::Section s : smd::kSections) {
            const size_t k = static_cast<size_t>(s);
            if (q.sections[k] == smd::Freshness::Fresh)
                health_.refreshed_at[k] = wall;
            else
                ++health_.rounds_not_refreshed[k];
        }
    }
    health_.has_round = true;
    health_.last = q;
    health_.round_open = true;
    if (q.restored) {
        ++health_.rounds_restored;
    } else {
        ++health_.rounds_live;
        health_.has_live_round = true;
        health_.last_live = q;
        if (!q.complete()) ++health_.rounds_damaged;
    }
    health_.alarms.begin_round(q.fresh(), q.restored);
    round_record_.assign(data, data + length);
    if (sink_) {
        smd::RecordPublished r;
        r.data_id = data_id;
        r.data = data;
        r.length = length;
        r.local_time = last_time_;
        r.unix_time = wall;
        r.quality = q;
        r.health = &health_;
        sink_->on_publish(name_, r);
    }
    emit_state_if(q.restored ? health_.state.restored_round(mono, wall)
                             : health_.state.live_round(mono, wall, q.complete()));
    if (!q.restored) {
        report_section_alarms();
        report_own_alarms();
    }
}

// "no DC analog values (42/41) for 10 rounds": what the plant stopped
// bringing while it answers the rest.
static std::string stale_section_message(const smd::PlantSection& p, const std::vector<uint16_t>& pairs,
                                  unsigned rounds) {
    std::string what;
    for (uint16_t q : pairs) {
        const char* contents = smd::pair_contents(q);
        if (!contents) continue;
        char code[8];
        std::snprintf(code, sizeof code, "%02X/%02X", q >> 8, q & 0xFF);
        what += (what.empty() ? "" : ", ") + std::string(contents) + " (" + code + ")";
    }
    if (what.empty()) what = std::string("intact values from the ") + p.what;
    return "no " + what + " for " + std::to_string(rounds) + " rounds";
}

void SMDVDevice::report_section_alarms() {
    if (section_alarm_level_ <= 0) return;
    // A plant that answers nothing at all has lost its line: the
    // communication alarm says so, and no section is missing on its own.
    // What the sections' alarms are stays as it was until it answers again.
    if (health_.judge.plant_silent()) return;
    std::vector<rule_value> batch;
    for (const smd::PlantSection& p : smd::kPlantSections) {
        rule_value rv;
        rv.kind = rule_value::Kind::Bool;
        rv.level = section_alarm_level_;
        rv.key = "section_missing";
        rv.alarm_id = p.alarm_id;
        const bool missing =
            health_.sections[static_cast<size_t>(p.section)] == smd::Freshness::Missing;
        const bool stale = !missing && health_.judge.stale(p.section);
        rv.value_text = std::to_string(stale ? health_.judge.unrefreshed_rounds(p.section)
                                             : health_.judge.silent_rounds(p.section));
        rv.message = stale ? stale_section_message(p, health_.judge.unrefreshed_pairs(p.section),
                                                   health_.judge.stale_rounds())
                           : p.message;
        rv.active = missing || stale;
        rv.seq = 1;
        batch.push_back(std::move(rv));
    }
    emit_alarm_changes(health_.alarms.report(batch, clock_->unix_time(), true));
}

void SMDVDevice::report_own_alarms() {
    if (!own_alarms_) return;
    const std::vector<rule_value> batch = own_alarms_(name_);
    if (!batch.empty()) emit_alarm_changes(health_.alarms.report(batch, clock_->unix_time(), true));
}

void SMDVDevice::AddConfiguredValue(const std::string& signal_id, const std::string& alarm_id,
                                    const smd::ValuePlace& place) {
    if (!signal_id.empty()) health_.reports.add_place(signal_id, place);
    if (!alarm_id.empty()) health_.alarms.add_alarm_sections(alarm_id, smd::section_bit(place.section));
}

void SMDVDevice::sections_judged(const smd::SectionStates& states) {
    health_.sections = states;
    report_section_alarms();
}

void SMDVDevice::finish_round() {
    if (!health_.round_open) return;
    health_.round_open = false;
    if (!health_.last.restored) {
        const auto released = health_.reports.release(
            health_.last.fresh(), round_record_.data(), round_record_.size(), ac_line_);
        for (const auto& r : released) {
            ++health_.reports_released;
            if (sink_) sink_->on_report(name_, smd::AnalogReport{r.first, r.second});
        }
    }
    emit_alarm_changes(health_.alarms.end_round(clock_->unix_time()));
}

void SMDVDevice::emit_alarm_changes(const std::vector<AlarmStateChange>& judged) {
    const double mono = clock_->monotonic_seconds();
    const std::time_t wall = clock_->unix_time();
    // Delays that ran out come first: a replay has no timer, its rounds move
    // the clock.
    std::vector<AlarmStateChange> shown = policy_.tick(mono, wall);
    for (const AlarmStateChange& c : judged) {
        std::vector<AlarmStateChange> s = policy_.on_judged(c, mono, wall);
        shown.insert(shown.end(), s.begin(), s.end());
    }
    if (health_.alarms.take_active_changed()) policy_.refresh(health_.alarms.active());
    emit_shown(shown);
}

void SMDVDevice::emit_shown(const std::vector<AlarmStateChange>& changes) {
    if (sink_) {
        for (const AlarmStateChange& c : changes) {
            smd::AlarmChange change;
            change.raised = c.active;
            change.level = c.level;
            change.key = c.id.key;
            change.alarm_id = c.id.alarm_id;
            change.value = c.value;
            change.message = c.message;
            change.seq = c.id.seq;
            change.reason = c.reason;
            change.since = c.since;
            change.health = &health_;
            sink_->on_alarm(name_, change);
        }
    }
    if (policy_.take_changed() && sink_) {
        const std::vector<ActiveAlarm> active = policy_.active();
        const std::vector<ActiveAlarm> pending = policy_.pending();
        sink_->on_active_alarms(name_, smd::ActiveAlarms{&active, &pending, false});
    }
}

bool SMDVDevice::AcknowledgeAlarm(const AlarmIdentity& id, AlarmAck ack) {
    if (!policy_.acknowledge(id, std::move(ack))) return false;
    emit_shown({});
    return true;
}

bool SMDVDevice::UnacknowledgeAlarm(const AlarmIdentity& id) {
    if (!policy_.unacknowledge(id)) return false;
    emit_shown({});
    return true;
}

void SMDVDevice::emit_state_if(bool changed) {
    if (!changed || !sink_) return;
    sink_->on_state(name_,
                    smd::StateChanged{health_.state.state(), health_.state.since(), &health_});
}

void SMDVDevice::LoadActiveAlarms(const std::vector<ActiveAlarm>& alarms) {
    health_.alarms.load_active(alarms);
    health_.alarms.take_active_changed();
    policy_.load_active(alarms);
    policy_.take_changed();
    if (sink_ && !alarms.empty()) {
        const std::vector<ActiveAlarm> active = policy_.active();
        sink_->on_active_alarms(name_, smd::ActiveAlarms{&active, nullptr, true});
    }
}

void SMDVDevice::SetPortOpen(bool open) {
    emit_state_if(
        health_.state.port_open(open, clock_->monotonic_seconds(), clock_->unix_time()));
}

void SMDVDevice::TickState() {
    emit_state_if(health_.state.tick(clock_->monotonic_seconds(), clock_->unix_time()));
    emit_shown(policy_.tick(clock_->monotonic_seconds(), clock_->unix_time()));
}

void SMDVDevice::SaveDeviceHistory(const unsigned char* data, unsigned length) {
    if (tracing()) {
        const std::string hex = smd::to_hex(data, length);
        trace(smd::HostCall("SaveDeviceHistory").arg("length", length).arg("hex", hex));
    }
    ++stored_count_;
    // Storing closes the round: alarms it no longer reports are settled
    // before anyone looks at the stored picture.
    finish_round();
    if (sink_) sink_->on_history(name_, smd::RecordStored{data, length, health_.last, &health_});
}

void SMDVDevice::CheckThreshold(const std::string& alarm_id, const std::string& name,
                                const float& value, int n) {
    if (tracing()) {
        trace(smd::HostCall("CheckThreshold")
                  .arg("alarm_id", alarm_id)
                  .arg("name", name)
                  .arg("value", value)
                  .arg("n", n));
    }
    const auto lim = limit_map_.find(alarm_id);
    if (lim == limit_map_.end()) return;  // no limits held for this alarm: nothing to check
    rule_value rv;
    rv.kind = rule_value::Kind::Limit;
    const auto lvl = alarm_level_map_.find(alarm_id);
    rv.level = lvl == alarm_level_map_.end() ? 1 : lvl->second;
    rv.key = alarm_id;
    rv.alarm_id = alarm_id;
    rv.name = name;
    rv.value = value;
    rv.n = n;
    rv.seq = 1;
    const Limit& l = lim->second;
    const bool high = l.has_upper && value > l.upper;
    const bool low = l.has_lower && value < l.lower;
    rv.active = high || low;
    if (rv.active) {
        rv.message = (name.empty() ? alarm_id : name) + (high ? " above " : " below ") +
                     smd::format_float(high ? l.upper : l.lower);
    }
    rv.value_text = smd::format_float(value);
    rule_batch_.push_back(std::move(rv));
}

void SMDVDevice::CheckThresholdBool(int level, const std::string& key, const std::string& alarm_id,
                                    const std::string& value, const std::string& message,
                                    bool active, unsigned short seq) {
    if (tracing()) {
        trace(smd::HostCall("CheckThresholdBool")
                  .arg("level", level)
                  .arg("key", key)
                  .arg("alarm_id", alarm_id)
                  .arg("value", value)
                  .arg("message", message)
                  .arg("active", active)
                  .arg("seq", seq));
    }
    rule_value rv;
    rv.kind = rule_value::Kind::Bool;
    rv.level = level;
    rv.key = key;
    rv.alarm_id = alarm_id;
    rv.value_text = value;
    rv.message = message;
    rv.active = active;
    rv.seq = seq;
    rule_batch_.push_back(std::move(rv));
}

bool SMDVDevice::CheckAOReport(const std::string& signal_id, float value) {
    if (tracing())
        trace(smd::HostCall("CheckAOReport").arg("signal_id", signal_id).arg("value", value));
    // A value of a section the round did not refresh may be a lost
    // section's zero, a restored one's is old: neither goes out now; the
    // next round that refreshes the section sends the change.
    bool fresh = true;
    if (health_.round_open) {
        const auto s = health_.reports.section_of(signal_id);
        fresh = s ? (health_.last.fresh() & smd::section_bit(*s)) != 0
                  : !health_.last.restored && health_.last.complete();
    }
    if (!health_.reports.on_report(signal_id, value, fresh)) {
        ++health_.reports_suppressed;
        return false;
    }
    if (sink_) sink_->on_report(name_, smd::AnalogReport{signal_id, value});
    return true;
}

uint8_t SMDVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& batch) {
    uint8_t result = 0;
    for (const rule_value& rv : batch)
        if (rv.active) result = 1;
    emit_alarm_changes(health_.alarms.report(batch, clock_->unix_time()));
    if (tracing()) {
        trace(smd::HostCall("DoBatchCheckThreshold")
                  .arg("size", static_cast<unsigned long long>(batch.size()))
                  .arg("result", result));
    }
    return result;
}

std::vector<std::string> SMDVDevice::ActiveAlarmMessages() const {
    std::vector<std::string> out;
    for (const ActiveAlarm& a : policy_.active())
        out.push_back(a.message.empty() ? a.id.alarm_id : a.message);
    return out;
}
