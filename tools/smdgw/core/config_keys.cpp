#include "tools/smdgw/core/config_keys.h"

#include "host/alarm_policy.h"

#include <json/writer.h>

#include "datadevice/config_text.h"
#include "tools/smdgw/core/battery_config.h"
#include "tools/smdgw/core/ups_identity.h"

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <cmath>
#include <functional>

namespace smdgw {

namespace {

// A device entry:
//   {"name": "plant1", "data_id": 418, "address": 1, "port": "/dev/ttyUSB0",
//    "role": "master", "encoding": "float", "protocol_version": "0x20",
//    "response_timeout_ms": 500, "appSetting": {...}, "thresholdSetting": {...},
//    "alarm_levels": {...}, "alarm_thresholds": {...}, "limits": {...},
//    "reports": {...}, "alarm_confirm_rounds": 1, "stale_after_s": 120,
//    "section_missing_rounds": 3, "section_stale_rounds": 10, "section_alarm_level": 2, "battery": {...},
//    "ups": {...}, "modbus_unit": 3, "modbus_word_order": "little"}
const std::vector<std::string> kDeviceKeys = {
    "name",           "data_id",          "address",          "port",
    "role",           "encoding",         "protocol_version", "response_timeout_ms",
    "appSetting",     "thresholdSetting", "alarm_levels",     "alarm_thresholds",
    "limits",         "reports",          "alarm_confirm_rounds", "stale_after_s",
    "section_missing_rounds", "section_stale_rounds", "section_alarm_level", "alarm_policy", "battery", "ups",
    "modbus_unit", "modbus_word_order"};

// "appSetting": the driver's options and the threshold mode, each read
// like atoi reads its text ("yes" reads as 0, "7x" as 7).
//   {"has_ac": 1, "no_dc_number": -1, "cg": "255", "b_mode": 5}
enum class OptionKind { OnOff, Number, Byte };
struct AppOption {
    const char* key;
    OptionKind kind;
};
constexpr AppOption kAppOptions[] = {
    {"has_ac", OptionKind::OnOff},      {"has_dc", OptionKind::OnOff},
    {"no_dc_number", OptionKind::Number}, {"ac_line", OptionKind::Number},
    {"ac_type", OptionKind::Number},    {"has_a", OptionKind::OnOff},
    {"has_b", OptionKind::OnOff},       {"has_c", OptionKind::OnOff},
    {"dc_i_adjust", OptionKind::Number}, {"skip_41_41", OptionKind::Number},
    {"has_tower", OptionKind::OnOff},   {"no_42_arg", OptionKind::Number},
    {"no_40_arg", OptionKind::Number},  {"open_41_43", OptionKind::Number},
    {"cg", OptionKind::Byte},           {"b_mode", OptionKind::Number}};

std::vector<std::string> app_setting_keys() {
    std::vector<std::string> keys;
    for (const AppOption& o : kAppOptions) keys.emplace_back(o.key);
    return keys;
}
const std::vector<std::string> kAppSettingKeys = app_setting_keys();

// "limits": {"419601001001": {"upper": 57.6, "lower": 43.2}}
const std::vector<std::string> kLimitKeys = {"upper", "lower"};

// "reports": {"419401002001": {"change_enabled": true, "change_delta": 0.5, ...}}
const std::vector<std::string> kReportNumbers = {"change_delta", "percent", "period_minutes",
                                                 "last_value"};
const std::vector<std::string> kReportFlags = {"change_enabled", "percent_enabled",
                                               "period_enabled"};

// "thresholdSetting" entries of modes 3 and 5.
const std::vector<std::string> kThresholdKeys = {
    "ID",           "SignalName",       "NMAlarmID",     "SignalNumber",     "UpValue",
    "UpReconverValue", "UpAlarmLevel",  "Up2Value",      "Up2ReconverValue", "Up2AlarmLevel",
    "LowValue",     "LowReconverValue", "LowAlarmLevel", "Low2Value",        "Low2ReconverValue",
    "Low2AlarmLevel"};

std::string quoted(const std::string& key) { return "\"" + key + "\""; }

std::string path_of(std::initializer_list<std::string> keys) {
    std::string p;
    for (const std::string& k : keys) p += (p.empty() ? "" : "/") + quoted(k);
    return p;
}

}  // namespace

void unknown_keys(const Json::Value& obj, const std::vector<std::string>& known,
                  const std::string& where, std::vector<std::string>& out,
                  const std::function<std::string(const std::string&)>& hint) {
    for (const std::string& k : obj.getMemberNames()) {
        if (std::find(known.begin(), known.end(), k) != known.end()) continue;
        std::string text = "unknown key " + quoted(k) + (where.empty() ? "" : " in " + where);
        const std::string extra = hint ? hint(k) : "";
        text += extra.empty() ? did_you_mean(k, known) : " (" + extra + ")";
        out.push_back(text);
    }
}

namespace {

// True when text is a whole number as atoi reads it in full: blanks, an
// optional sign, digits, nothing after them.
bool whole_number_text(const std::string& text) {
    size_t i = text.find_first_not_of(" \t\n\v\f\r");
    if (i == std::string::npos) return false;
    if (text[i] == '+' || text[i] == '-') ++i;
    const size_t digits = i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
    return i > digits && i == text.size();
}

// A known option whose value the driver reads otherwise than it looks: a
// word ("yes" reads as 0), a number with text after it ("7x" reads as 7), a
// fraction (2.7 reads as 2).
void option_value_doubts(const Json::Value& s, EntryFindings& out) {
    for (const AppOption& o : kAppOptions) {
        const Json::Value& v = s[o.key];
        if (v.isNull() || v.isBool() || v.isArray() || v.isObject()) continue;
        if (v.isIntegral() || (v.isString() && whole_number_text(v.asString()))) continue;
        const int n = veltra::option_to_int(v);
        std::string reads = std::to_string(o.kind == OptionKind::Byte ? (n & 0xFF) : n);
        if (o.kind == OptionKind::OnOff) reads += n != 0 ? " (on)" : " (off)";
        out.warnings.push_back(path_of({"appSetting", o.key}) + " is " + value_text(v) +
                               (v.isString() ? ", not a number" : ", not a whole number") +
                               "; the driver reads it as " + reads);
    }
}

bool finite_float(const Json::Value& v) {
    return v.isNumeric() && std::isfinite(v.asDouble()) && std::fabs(v.asDouble()) <= FLT_MAX;
}

// Values of a table keyed by alarm or signal ID.
void number_table(const Json::Value& t, const std::string& key, EntryFindings& out,
                  const std::function<std::string(const Json::Value&)>& check) {
    if (t.isNull()) return;
    if (!t.isObject()) {
        out.errors.push_back(quoted(key) + " must be an object (is " + value_text(t) + ")");
        return;
    }
    for (const std::string& id : t.getMemberNames()) {
        const std::string problem = check(t[id]);
        if (!problem.empty())
            out.errors.push_back(path_of({key, id}) + " " + problem + " (is " +
                                 value_text(t[id]) + ")");
    }
}

std::string level_problem(const Json::Value& v) {
    if (!v.isNumeric()) return "must be a number";
    const double d = v.asDouble();
    if (!(d >= 0 && d <= 2147483647.0) || d != std::floor(d))
        return "must be a whole alarm level 0 to 2147483647";
    return {};
}

std::string threshold_problem(const Json::Value& v) {
    if (!v.isNumeric()) return "must be a number";
    if (!finite_float(v)) return "is out of range for a threshold";
    return {};
}

void object_table(const Json::Value& t, const std::string& key,
                  const std::vector<std::string>& numbers, const std::vector<std::string>& flags,
                  EntryFindings& out) {
    if (t.isNull()) return;
    if (!t.isObject()) {
        out.errors.push_back(quoted(key) + " must be an object (is " + value_text(t) + ")");
        return;
    }
    std::vector<std::string> known = numbers;
    known.insert(known.end(), flags.begin(), flags.end());
    if (key == "reports") known.push_back("last_time");
    for (const std::string& id : t.getMemberNames()) {
        const Json::Value& e = t[id];
        if (!e.isObject()) {
            out.errors.push_back(path_of({key, id}) + " must be an object (is " + value_text(e) +
                                 ")");
            continue;
        }
        for (const std::string& f : numbers)
            if (!e[f].isNull() && !finite_float(e[f]))
                out.errors.push_back(path_of({key, id, f}) +
                                     (e[f].isNumeric() ? " is out of range" : " must be a number") +
                                     " (is " + value_text(e[f]) + ")");
        for (const std::string& f : flags)
            if (!e[f].isNull() && !e[f].isBool())
                out.errors.push_back(path_of({key, id, f}) + " must be true or false (is " +
                                     value_text(e[f]) + ")");
        if (key == "reports" && !e["last_time"].isNull() && !e["last_time"].isUInt())
            out.errors.push_back(path_of({key, id, "last_time"}) +
                                 " must be seconds since 1970, an unsigned integer (is " +
                                 value_text(e["last_time"]) + ")");
        unknown_keys(e, known, path_of({key, id}), out.errors);
    }
}

void check_app_setting(const Json::Value& s, EntryFindings& out) {
    if (s.isNull()) return;
    if (!s.isObject()) {
        out.warnings.push_back("\"appSetting\" is not an object (is " + value_text(s) +
                               "); every option keeps its default");
        return;
    }
    for (const std::string& k : s.getMemberNames()) {
        const Json::Value& v = s[k];
        if (v.isArray() || v.isObject())
            out.errors.push_back(path_of({"appSetting", k}) +
                                 " must be a number or a text (is " + value_text(v) + ")");
    }
    const Json::Value& mode = s["b_mode"];
    if (mode.isNumeric() || mode.isString()) {
        const int m = std::atoi(mode.asString().c_str());
        if (m != 1 && m != 2 && m != 3 && m != 5)
            out.warnings.push_back("\"appSetting\"/\"b_mode\" " + value_text(mode) +
                                   " is no threshold mode (1, 2, 3 or 5): no thresholds");
    }
    option_value_doubts(s, out);
    unknown_keys(s, kAppSettingKeys, "\"appSetting\"", out.driver_keys);
}

void check_threshold_setting(const Json::Value& t, EntryFindings& out) {
    if (t.isNull()) return;
    if (!t.isObject()) {
        out.errors.push_back("\"thresholdSetting\" must be an object (is " + value_text(t) + ")");
        return;
    }
    for (const std::string& name : t.getMemberNames()) {
        const Json::Value& e = t[name];
        if (!e.isObject()) {
            out.errors.push_back(path_of({"thresholdSetting", name}) + " must be an object (is " +
                                 value_text(e) + ")");
            continue;
        }
        for (const std::string& k : e.getMemberNames())
            if (e[k].isArray() || e[k].isObject())
                out.errors.push_back(path_of({"thresholdSetting", name, k}) +
                                     " must be a number or a text (is " + value_text(e[k]) + ")");
        unknown_keys(e, kThresholdKeys, path_of({"thresholdSetting", name}), out.driver_keys);
    }
}

size_t edit_distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diag = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] != b[j - 1])});
            diag = up;
        }
    }
    return row[b.size()];
}

std::string folded(const std::string& s) {
    std::string f;
    for (char c : s)
        if (c != '_' && c != '-') f += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return f;
}

}  // namespace

std::string value_text(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    // As people write numbers: 1e+300, not 1.0000000000000001e+300.
    b["precision"] = 10;
    std::string text = Json::writeString(b, v);
    if (text.size() > 60) text = text.substr(0, 57) + "...";
    return text;
}

std::string did_you_mean(const std::string& key, const std::vector<std::string>& known) {
    const std::string near = nearest_key(key, known);
    return near.empty() ? std::string() : " (did you mean " + near + "?)";
}

std::string nearest_key(const std::string& key, const std::vector<std::string>& known) {
    std::string best;
    size_t best_d = 3;
    for (const std::string& k : known) {
        size_t d = folded(k) == folded(key) ? 0 : edit_distance(key, k);
        // Short keys need a closer match to count as a typo.
        if (d > std::max<size_t>(1, std::min(key.size(), k.size()) / 3)) continue;
        if (d < best_d) {
            best_d = d;
            best = k;
        }
    }
    return best;
}

void check_device_entry(const Json::Value& d, EntryFindings& out) {
    const Json::Value& adr = d["address"];
    if (!adr.isNull() && (!adr.isUInt() || adr.asUInt() > 255))
        out.errors.push_back("\"address\" must be an integer 0 to 255 (is " + value_text(adr) +
                             ")");
    const Json::Value& port = d["port"];
    if (!port.isNull() && (!port.isString() || port.asString().empty()))
        out.errors.push_back("\"port\" must be a non-empty text (is " + value_text(port) + ")");
    // How the host judges the device's rounds and its line.
    const Json::Value& confirm = d["alarm_confirm_rounds"];
    if (!confirm.isNull() && (!confirm.isUInt() || confirm.asUInt() < 1 || confirm.asUInt() > 100))
        out.errors.push_back("\"alarm_confirm_rounds\" must be an integer 1 to 100 (is " +
                             value_text(confirm) + ")");
    const Json::Value& stale = d["stale_after_s"];
    if (!stale.isNull() &&
        (!stale.isNumeric() || !(stale.asDouble() > 0.0) || !std::isfinite(stale.asDouble())))
        out.errors.push_back("\"stale_after_s\" must be a number of seconds above 0 (is " +
                             value_text(stale) + ")");
    // A section that stops answering: after how many silent rounds, and the
    // level of its alarm (0: none).
    const Json::Value& missing = d["section_missing_rounds"];
    if (!missing.isNull() && (!missing.isUInt() || missing.asUInt() < 1 || missing.asUInt() > 100))
        out.errors.push_back("\"section_missing_rounds\" must be an integer 1 to 100 (is " +
                             value_text(missing) + ")");
    // A section still answered in part whose values stop refreshing.
    const Json::Value& stale_rounds = d["section_stale_rounds"];
    if (!stale_rounds.isNull() &&
        (!stale_rounds.isUInt() || stale_rounds.asUInt() < 1 || stale_rounds.asUInt() > 1000))
        out.errors.push_back("\"section_stale_rounds\" must be an integer 1 to 1000 (is " +
                             value_text(stale_rounds) + ")");
    const Json::Value& level = d["section_alarm_level"];
    if (!level.isNull() && (!level.isInt() || level.asInt() < 0))
        out.errors.push_back(
            "\"section_alarm_level\" must be a whole alarm level 0 to 2147483647, 0 for none "
            "(is " + value_text(level) + ")");
    // The device on Modbus TCP (--modbus-listen): its unit id, when not its
    // "address", and the order of the two registers of a 32-bit value.
    const Json::Value& unit = d["modbus_unit"];
    if (!unit.isNull() && (!unit.isUInt() || unit.asUInt() < 1 || unit.asUInt() > 247))
        out.errors.push_back("\"modbus_unit\" must be an integer 1 to 247 (is " +
                             value_text(unit) + ")");
    const Json::Value& order = d["modbus_word_order"];
    if (!order.isNull() &&
        (!order.isString() || (order.asString() != "big" && order.asString() != "little")))
        out.errors.push_back("\"modbus_word_order\" must be \"big\" (high word first) or "
                             "\"little\" (is " + value_text(order) + ")");
    // Delays and flapping of the alarms shown (host/alarm_policy.h).
    AlarmPolicyConfig::parse(d["alarm_policy"], out.errors);
    // The battery strings on the DC panels (battery_config.h).
    BatteryConfig::parse(d["battery"], out.errors);
    // How the plant names itself as a UPS (ups_identity.h).
    UpsIdentity::parse(d["ups"], out.errors);
    check_app_setting(d["appSetting"], out);
    check_threshold_setting(d["thresholdSetting"], out);
    number_table(d["alarm_levels"], "alarm_levels", out, level_problem);
    number_table(d["alarm_thresholds"], "alarm_thresholds", out, threshold_problem);
    object_table(d["limits"], "limits", kLimitKeys, {}, out);
    object_table(d["reports"], "reports", kReportNumbers, kReportFlags, out);
    unknown_keys(d, kDeviceKeys, "", out.errors, [](const std::string& k) -> std::string {
        if (std::find(kAppSettingKeys.begin(), kAppSettingKeys.end(), k) != kAppSettingKeys.end())
            return "it belongs in \"appSetting\"";
        return {};
    });
}

}  // namespace smdgw
