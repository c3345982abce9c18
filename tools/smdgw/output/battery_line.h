#pragma once
// The battery estimate in one line, in the words of the status page's
// battery line:
//   "ON BATTERY since 14:02, 37 min left (31-44), load 52 A · 200 Ah nameplate"
// while the strings carry the load ("BATTERY DISCONNECTED" at the
// disconnect); otherwise its state, charge and current:
//   "Battery float, charge 98 %, 0.4 A · 200 Ah nameplate, 159 Ah learned · 25.0 °C"

#include <string>

#include "tools/smdgw/core/battery_monitor.h"

namespace smdgw {

std::string battery_line(const BatteryView& b);

}  // namespace smdgw
