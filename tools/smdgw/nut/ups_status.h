#pragma once
// ups.status and ups.alarm of a plant, the two variables upsmon and every
// dashboard decide on:
//   mains present, float            OL
//   recharging after an outage      OL CHRG
//   on battery                      OB DISCHRG ALARM
//   runtime below "runtime_critical_min", or at the disconnect
//                                   OB DISCHRG LB ALARM
//   learned capacity below 80 % of the nameplate
//                                   OL RB ALARM
// OB, LB and RB are the battery's own alarms (core/battery_alarms.h), so
// the NUT client and the alarm outputs change together; ALARM stands while
// any alarm is shown raised, and ups.alarm says which in English.

#include <string>

#include "tools/smdgw/nut/ups_reading.h"

namespace smdgw::nut {

// The longest ups.alarm: what one answer line of a NUT client holds.
constexpr size_t kMaxAlarmText = 400;

std::string ups_status(const UpsReading& r);
// The alarms' meanings separated by "; ", cut at kMaxAlarmText with
// " (and N more)"; empty when none is raised.
std::string ups_alarm(const UpsReading& r);

}  // namespace smdgw::nut
