#include "host/smd_vdevice.h"

#include <json/value.h>

#include <charconv>
#include <cmath>

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

void state_key(const std::string& key, const std::string& alarm_id, unsigned short seq,
               std::string& k) {
    k = key;
    k += '\x1f';
    k += alarm_id;
    k += '\x1f';
    char digits[8];
    const char* end = std::to_chars(digits, digits + sizeof digits, seq).ptr;
    k.append(digits, static_cast<size_t>(end - digits));
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
    if (sink_) {
        smd::RecordPublished r;
        r.data_id = data_id;
        r.data = data;
        r.length = length;
        r.local_time = last_time_;
        r.unix_time = clock_->unix_time();
        sink_->on_publish(name_, r);
    }
}

void SMDVDevice::SaveDeviceHistory(const unsigned char* data, unsigned length) {
    if (tracing()) {
        const std::string hex = smd::to_hex(data, length);
        trace(smd::HostCall("SaveDeviceHistory").arg("length", length).arg("hex", hex));
    }
    ++stored_count_;
    if (sink_) sink_->on_history(name_, smd::RecordStored{data, length});
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
    if (sink_) sink_->on_report(name_, smd::AnalogReport{signal_id, value});
    return true;
}

uint8_t SMDVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& batch) {
    uint8_t result = 0;
    std::string skey, value_text;
    for (const rule_value& rv : batch) {
        if (rv.active) result = 1;
        state_key(rv.key, rv.alarm_id, rv.seq, skey);
        auto it = alarm_states_.find(skey);
        if (it == alarm_states_.end()) {
            it = alarm_states_.emplace(skey, AlarmState()).first;
            it->second.key = rv.key;
            it->second.alarm_id = rv.alarm_id;
            it->second.seq = rv.seq;
        }
        AlarmState& st = it->second;
        st.level = rv.level;
        if (st.active == rv.active) {
            if (rv.active) st.message = rv.message;
            continue;
        }
        st.active = rv.active;
        // A cleared alarm is reported with the message it was raised with.
        if (rv.active) st.message = rv.message;
        if (!sink_) continue;
        value_text =
            rv.kind == rule_value::Kind::Bool ? rv.value_text : smd::format_float(rv.value);
        smd::AlarmChange change;
        change.raised = rv.active;
        change.level = rv.level;
        change.key = rv.key;
        change.alarm_id = rv.alarm_id;
        change.value = value_text;
        change.message = st.message;
        change.seq = rv.seq;
        sink_->on_alarm(name_, change);
    }
    if (tracing()) {
        trace(smd::HostCall("DoBatchCheckThreshold")
                  .arg("size", static_cast<unsigned long long>(batch.size()))
                  .arg("result", result));
    }
    return result;
}

std::vector<std::string> SMDVDevice::ActiveAlarmMessages() const {
    std::vector<std::string> out;
    for (const auto& kv : alarm_states_)
        if (kv.second.active)
            out.push_back(kv.second.message.empty() ? kv.second.alarm_id : kv.second.message);
    return out;
}
