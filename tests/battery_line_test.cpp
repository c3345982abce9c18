// The battery line of the text view, in the status page's words: on battery
// the time of the mains failure, the minutes left with their band and the
// load; otherwise the state, the charge and the current; the capacities and
// the temperature after them.

#include <gtest/gtest.h>

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "tools/smdgw/output/battery_line.h"

namespace {

using smdgw::BatteryState;
using smdgw::BatteryView;

// "14:02" of a time, local as the line writes it.
std::string hh_mm(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[8];
    std::strftime(buf, sizeof buf, "%H:%M", &tm);
    return buf;
}

TEST(BatteryLine, SaysWhatTheStatusPageSays) {
    const std::time_t since = 1772373720;
    struct Case {
        BatteryState state;
        std::optional<double> charge, runtime, low, high, learned, temperature;
        double current;
        std::string expected;
    };
    const std::string at = hh_mm(since);
    const std::vector<Case> cases = {
        {BatteryState::Discharging, {}, 2220.4, 1887.3, 2649.9, {}, {}, -52.4,
         "ON BATTERY since " + at + ", 37 min left (31-44), load 52 A \u00b7 200 Ah nameplate"},
        // Before the time is known: the load alone; a learned capacity and
        // the temperature after the nameplate.
        {BatteryState::Discharging, {}, {}, {}, {}, 159.2, 24.96, -50.0,
         "ON BATTERY since " + at + ", load 50 A \u00b7 200 Ah nameplate, 159 Ah learned \u00b7 "
         "25.0 \u00b0C"},
        {BatteryState::Disconnected, 0.0, {}, {}, {}, {}, {}, -0.2,
         "BATTERY DISCONNECTED since " + at + ", load 0 A \u00b7 200 Ah nameplate"},
        {BatteryState::Float, 0.984, {}, {}, {}, {}, {}, 0.04,
         "Battery float, charge 98 %, 0.0 A \u00b7 200 Ah nameplate"},
        {BatteryState::Charging, 0.5, {}, {}, {}, 160.0, {}, 31.26,
         "Battery charging, charge 50 %, 31.3 A \u00b7 200 Ah nameplate, 160 Ah learned"},
        {BatteryState::Unknown, {}, {}, {}, {}, {}, {}, -0.01,
         "Battery unknown, 0.0 A \u00b7 200 Ah nameplate"},
    };
    for (const Case& c : cases) {
        BatteryView b;
        b.since = since;
        b.reading.state = c.state;
        b.reading.charge = c.charge;
        b.reading.runtime_s = c.runtime;
        b.reading.runtime_low_s = c.low;
        b.reading.runtime_high_s = c.high;
        b.reading.learned_capacity_ah = c.learned;
        b.reading.temperature_c = c.temperature;
        b.reading.current_a = c.current;
        b.reading.capacity_ah = 200.0;
        EXPECT_EQ(smdgw::battery_line(b), c.expected);
    }
}

}  // namespace
