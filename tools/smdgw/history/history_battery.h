#pragma once
// The battery estimate kept with each stored round of a device with a
// "battery" object, and the history columns it gives after the record's:
// "battery.state", "battery.charge", "battery.runtime_s",
// "battery.learned_capacity_ah". The state is numbered as
// smdgw_battery_state is (0 unknown, 1 float, 2 charging, 3 discharging, 4
// disconnected), so it rolls up like any number: a minute whose maximum is 3
// or more had the strings carry the load.

#include <optional>
#include <string>
#include <vector>

#include "tools/smdgw/core/battery_estimator.h"

namespace smdgw {

struct BatterySample {
    int state = 0;
    std::optional<double> charge, runtime_s, learned_capacity_ah;
};

// The sample of an estimate.
BatterySample battery_sample(const BatteryReading& r);

// The battery's history columns, in their order.
const std::vector<std::string>& battery_column_names();

// The value of each battery column, in their order: NaN where the round has
// no battery or the estimate did not know it.
std::vector<double> battery_values(const std::optional<BatterySample>& b);

}  // namespace smdgw
