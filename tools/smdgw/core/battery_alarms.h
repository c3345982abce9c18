#pragma once
// The gateway's own alarms of a battery bank, judged from its estimate after
// every live round and reported through the device's alarm store like the
// section alarms: every alarm in every batch, active or not.
//   on battery, 28 min left at 52 A, thresholds 30/10 min:
//     smdgw-battery-discharging  raised  "on battery, 28 min left at 52 A"
//     smdgw-battery-runtime      raised  (below "runtime_alarm_min")
//     smdgw-battery-critical     cleared (not below "runtime_critical_min")
// Mains back (charging or float): every one but the capacity alarm clears.

#include <string>
#include <vector>

#include "host/rule_value.h"
#include "tools/smdgw/core/battery_config.h"
#include "tools/smdgw/core/battery_estimator.h"

namespace smdgw {

struct BatteryAlarm {
    const char* alarm_id;
    const char* key;
    int level;
    // In words, for the alarm tables: its message, its value and when it is raised.
    const char* message;
    const char* value;
    const char* when;
};

// A learned capacity below this share of the nameplate raises its alarm.
constexpr double kCapacityAlarmShare = 0.8;

inline constexpr BatteryAlarm kBatteryAlarms[] = {
    {"smdgw-battery-discharging", "battery_discharging", 2, "on battery, N min left at X A",
     "the strings' current in A",
     "the host: the battery strings carry the load (discharging, or at the disconnect)"},
    {"smdgw-battery-runtime", "battery_runtime_low", 2, "on battery, N min left at X A",
     "minutes left",
     "the host: on battery with the estimated time to the disconnect below "
     "\"runtime_alarm_min\" (30)"},
    {"smdgw-battery-critical", "battery_runtime_critical", 1, "on battery, N min left at X A",
     "minutes left",
     "the host: on battery with the estimated time to the disconnect below "
     "\"runtime_critical_min\" (10)"},
    {"smdgw-battery-capacity", "battery_capacity_low", 3, "learned capacity N Ah of M Ah",
     "the learned capacity in Ah",
     "the host: the capacity learned from a discharge below 80 % of the nameplate"},
};

// "on battery, 28 min left at 52 A"; "learned capacity 150 Ah of 200 Ah".
std::vector<rule_value> battery_alarm_batch(const BatteryConfig& c, const BatteryReading& r);

}  // namespace smdgw
