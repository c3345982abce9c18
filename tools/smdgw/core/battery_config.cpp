#include "tools/smdgw/core/battery_config.h"

#include <cmath>
#include <cstdio>

#include "tools/smdgw/core/config_keys.h"

namespace smdgw {

namespace {

const std::vector<std::string> kBatteryKeys = {
    "strings_ah", "cells", "lvd_v", "peukert", "temperature_value", "runtime_alarm_min",
    "runtime_critical_min"};

// A number in [lo, hi] under "battery"."key", or the default when absent.
bool number_in(const Json::Value& b, const char* key, double lo, double hi, double& out,
               std::vector<std::string>& errors) {
    const Json::Value& v = b[key];
    if (v.isNull()) return true;
    if (!v.isNumeric() || !std::isfinite(v.asDouble()) || v.asDouble() < lo || v.asDouble() > hi) {
        char range[64];
        std::snprintf(range, sizeof range, "%g to %g", lo, hi);
        errors.push_back(std::string("\"battery\": \"") + key + "\" must be a number " + range +
                         " (is " + value_text(v) + ")");
        return false;
    }
    out = v.asDouble();
    return true;
}

}  // namespace

double BatteryConfig::nameplate_ah() const {
    double sum = 0.0;
    for (double a : strings_ah) sum += a;
    return sum;
}

std::optional<BatteryConfig> BatteryConfig::parse(const Json::Value& b,
                                                  std::vector<std::string>& errors) {
    if (b.isNull()) return std::nullopt;
    if (!b.isObject()) {
        errors.push_back("\"battery\" must be an object (is " + value_text(b) + ")");
        return std::nullopt;
    }
    const size_t before = errors.size();
    BatteryConfig c;
    const Json::Value& s = b["strings_ah"];
    // Two currents per DC panel, two panels.
    bool strings_ok = s.isArray() && s.size() >= 1 && s.size() <= 4;
    for (Json::ArrayIndex k = 0; strings_ok && k < s.size(); ++k) {
        strings_ok = s[k].isNumeric() && s[k].asDouble() >= 1.0 && s[k].asDouble() <= 10000.0;
        if (strings_ok) c.strings_ah.push_back(s[k].asDouble());
    }
    if (!strings_ok)
        errors.push_back(
            "\"battery\": \"strings_ah\" must be a list of 1 to 4 nameplate capacities, 1 to "
            "10000 Ah each (is " + value_text(s) + ")");
    double cells = c.cells, temp = -1.0;
    if (number_in(b, "cells", 1, 60, cells, errors) && cells != std::floor(cells))
        errors.push_back("\"battery\": \"cells\" must be a whole number 1 to 60 (is " +
                         value_text(b["cells"]) + ")");
    c.cells = static_cast<unsigned>(cells);
    number_in(b, "lvd_v", 20.0, 60.0, c.lvd_v, errors);
    number_in(b, "peukert", 1.0, 1.6, c.peukert, errors);
    if (number_in(b, "temperature_value", 0, 26, temp, errors) && temp != std::floor(temp))
        errors.push_back(
            "\"battery\": \"temperature_value\" must be a whole number 0 to 26 (is " +
            value_text(b["temperature_value"]) + ")");
    c.temperature_value = static_cast<int>(temp);
    number_in(b, "runtime_alarm_min", 1, 1440, c.runtime_alarm_min, errors);
    number_in(b, "runtime_critical_min", 1, 1440, c.runtime_critical_min, errors);
    for (const std::string& key : b.getMemberNames()) {
        bool known = false;
        for (const std::string& k : kBatteryKeys) known = known || k == key;
        if (known) continue;
        errors.push_back("unknown key \"" + key + "\" in \"battery\"" +
                         did_you_mean(key, kBatteryKeys));
    }
    if (errors.size() != before) return std::nullopt;
    return c;
}

}  // namespace smdgw
