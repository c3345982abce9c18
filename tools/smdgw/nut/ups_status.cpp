#include "tools/smdgw/nut/ups_status.h"

#include <cstring>

#include "tools/smdgw/core/battery_alarms.h"

namespace smdgw::nut {

std::string ups_status(const UpsReading& r) {
    bool on_battery = false, low = false, replace = false;
    BatteryState state = BatteryState::Unknown;
    if (r.battery && r.battery_config) {
        state = r.battery->reading.state;
        for (const rule_value& a : battery_alarm_batch(*r.battery_config, r.battery->reading)) {
            if (!a.active) continue;
            if (a.alarm_id == "smdgw-battery-discharging") on_battery = true;
            if (a.alarm_id == "smdgw-battery-critical") low = true;
            if (a.alarm_id == "smdgw-battery-capacity") replace = true;
        }
    }
    std::string s = on_battery ? "OB" : "OL";
    if (state == BatteryState::Charging) s += " CHRG";
    if (state == BatteryState::Discharging) s += " DISCHRG";
    if (low) s += " LB";
    if (replace) s += " RB";
    if (!r.alarms.empty()) s += " ALARM";
    return s;
}

std::string ups_alarm(const UpsReading& r) {
    std::string out;
    for (size_t i = 0; i < r.alarms.size(); ++i) {
        const std::string next = (out.empty() ? "" : "; ") + r.alarms[i];
        const size_t left = r.alarms.size() - i;
        const std::string more = " (and " + std::to_string(left) + " more)";
        if (out.size() + next.size() + (left > 1 ? more.size() : 0) > kMaxAlarmText) {
            out += more;
            break;
        }
        out += next;
    }
    return out;
}

}  // namespace smdgw::nut
