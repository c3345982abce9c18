#include "tools/smdgw/output/battery_line.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace smdgw {

namespace {

std::string fixed(double v, int decimals) {
    if (!std::isfinite(v)) return "\u2013";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    // -0 reads as 0, as the page's toFixed has it.
    const std::string s = buf;
    return s.find_first_not_of("-0.") == std::string::npos && s[0] == '-' ? s.substr(1) : s;
}

// Whole minutes, rounded half up as the page rounds them.
std::string minutes(double seconds) {
    return std::to_string(static_cast<long long>(std::floor(seconds / 60.0 + 0.5)));
}

// "14:02", local time.
std::string clock_time(std::time_t t) {
    std::tm tm{};
    char buf[8] = "--:--";
    if (localtime_r(&t, &tm)) std::strftime(buf, sizeof buf, "%H:%M", &tm);
    return buf;
}

}  // namespace

std::string battery_line(const BatteryView& b) {
    const BatteryReading& r = b.reading;
    std::string t;
    if (r.state == BatteryState::Discharging || r.state == BatteryState::Disconnected) {
        t = std::string(r.state == BatteryState::Disconnected ? "BATTERY DISCONNECTED"
                                                               : "ON BATTERY") +
            " since " + clock_time(b.since);
        if (r.runtime_s) {
            t += ", " + minutes(*r.runtime_s) + " min left";
            if (r.runtime_low_s && r.runtime_high_s)
                t += " (" + minutes(*r.runtime_low_s) + "-" + minutes(*r.runtime_high_s) + ")";
        }
        t += ", load " + fixed(-r.current_a, 0) + " A";
    } else {
        t = std::string("Battery ") + battery_state_name(r.state);
        if (r.charge) t += ", charge " + fixed(*r.charge * 100.0, 0) + " %";
        t += ", " + fixed(r.current_a, 1) + " A";
    }
    t += " \u00b7 " + fixed(r.capacity_ah, 0) + " Ah nameplate";
    if (r.learned_capacity_ah) t += ", " + fixed(*r.learned_capacity_ah, 0) + " Ah learned";
    if (r.temperature_c) t += " \u00b7 " + fixed(*r.temperature_c, 1) + " \u00b0C";
    return t;
}

}  // namespace smdgw
