#include "tools/smdgw/history/history_battery.h"

#include <cmath>

namespace smdgw {

BatterySample battery_sample(const BatteryReading& r) {
    BatterySample s;
    s.state = static_cast<int>(r.state);
    s.charge = r.charge;
    s.runtime_s = r.runtime_s;
    s.learned_capacity_ah = r.learned_capacity_ah;
    return s;
}

const std::vector<std::string>& battery_column_names() {
    static const std::vector<std::string> names = {"battery.state", "battery.charge",
                                                   "battery.runtime_s",
                                                   "battery.learned_capacity_ah"};
    return names;
}

std::vector<double> battery_values(const std::optional<BatterySample>& b) {
    const double none = std::nan("");
    if (!b) return std::vector<double>(battery_column_names().size(), none);
    const auto or_none = [none](const std::optional<double>& v) { return v ? *v : none; };
    return {static_cast<double>(b->state), or_none(b->charge), or_none(b->runtime_s),
            or_none(b->learned_capacity_ah)};
}

}  // namespace smdgw
