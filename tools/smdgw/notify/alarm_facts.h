#pragma once
// What the person on call needs beside an alarm change to act on it: the
// device's state and the figures of the plant that explain the alarm (the AC
// inputs for a mains alarm, the module's current for a module alarm, the DC
// bus and the battery always), read through the one reader of the shown
// state when the change is grouped, so a mail says what the page and the API
// said at that moment. A mail shows them as lines, a webhook as the "facts"
// object of its event.
//
//   State:      live
//   AC input 1: A 0.0 V, B 0.0 V, C 0.0 V, 0.00 Hz
//   DC bus:     51.2 V, load 52.0 A
//   Battery:    on battery since 14:02 UTC, 37 min left (31-44), at 52.0 A, charge 62 %

#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/smdgw/core/battery_monitor.h"
#include "tools/smdgw/core/device_state.h"
#include "tools/smdgw/notify/notify_event.h"

namespace smdgw::notify {

struct AlarmFacts {
    std::vector<std::pair<std::string, std::string>> lines;  // label, text
    std::string json;                                        // an object
};

// The facts of event e on device d; battery: its estimate (none without
// one) and the API's JSON of it; level_name: the name of e's level. The JSON
// also says how long a cleared alarm lasted and who acknowledged it.
AlarmFacts alarm_facts(const DeviceState& d, const std::optional<BatteryView>& battery,
                       const std::string& battery_json, const NotifyEvent& e,
                       const std::string& level_name);

// The battery in words, as the status page says it.
std::string battery_words(const BatteryView& b);

}  // namespace smdgw::notify
