#include "tools/smdgw/core/battery_alarms.h"

#include <cmath>

namespace smdgw {

namespace {

std::string whole(double v) { return std::to_string(static_cast<long long>(std::lround(v))); }
// Whole minutes left, rounded down: "19 min left" under a 20-minute threshold.
std::string minutes_left(double s) { return std::to_string(static_cast<long long>(std::floor(s / 60.0))); }

}  // namespace

std::vector<rule_value> battery_alarm_batch(const BatteryConfig& c, const BatteryReading& r) {
    const bool on_battery =
        r.state == BatteryState::Discharging || r.state == BatteryState::Disconnected;
    // At the disconnect nothing is left, whatever the last estimate said.
    const double left_s = r.state == BatteryState::Disconnected ? 0.0
                          : r.runtime_s                           ? *r.runtime_s
                                                                  : -1.0;
    const bool known = left_s >= 0.0;
    std::string on_text = "on battery";
    if (known) on_text += ", " + minutes_left(left_s) + " min left";
    on_text += " at " + whole(std::fabs(r.current_a)) + " A";
    const double nameplate = c.nameplate_ah();
    const bool weak = r.learned_capacity_ah && nameplate > 0.0 &&
                      *r.learned_capacity_ah < kCapacityAlarmShare * nameplate;

    std::vector<rule_value> batch;
    for (const BatteryAlarm& a : kBatteryAlarms) {
        rule_value rv;
        rv.kind = rule_value::Kind::Bool;
        rv.level = a.level;
        rv.key = a.key;
        rv.alarm_id = a.alarm_id;
        rv.seq = 1;
        rv.message = on_text;
        const std::string id = a.alarm_id;
        if (id == "smdgw-battery-discharging") {
            rv.active = on_battery;
            rv.value_text = whole(std::fabs(r.current_a));
        } else if (id == "smdgw-battery-capacity") {
            rv.active = weak;
            rv.value_text = r.learned_capacity_ah ? whole(*r.learned_capacity_ah) : "";
            rv.message = "learned capacity " + rv.value_text + " Ah of " + whole(nameplate) + " Ah";
        } else {
            const double min = id == "smdgw-battery-critical" ? c.runtime_critical_min
                                                             : c.runtime_alarm_min;
            rv.active = on_battery && known && left_s < min * 60.0;
            rv.value_text = known ? minutes_left(left_s) : "";
        }
        batch.push_back(std::move(rv));
    }
    return batch;
}

}  // namespace smdgw
