#pragma once
// What the host can tell about a device's thresholds before and after the
// driver reads them: its threshold mode and, in mode 1, the INI file the
// driver takes (the first of ./ini/<id>.yaml, ./ini/<id>.ini,
// ./ini/<model>.yaml, ./ini/<model>.ini, then the same below ./ini/veltra/).

#include <json/value.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/analog_signals.h"

namespace smdgw {

// "appSetting"/"b_mode" read as the driver reads it (atoi of its text); 1 when absent.
int threshold_mode(const Json::Value& entry);

// The threshold file of a mode 1 device, relative to the working directory; "" when none exists.
std::string threshold_file(uint32_t data_id);

// Where a failed initialisation most likely comes from, as a key to put in
// front of the driver's message ("threshold file ./ini/7.ini (\"appSetting\"/\"b_mode\" 1)"),
// or "" when the host cannot tell.
std::string init_failure_source(const Json::Value& entry, uint32_t data_id);

// A value a mode 1 threshold file has the host check ("dc.v=419401002001,DC bus
// voltage" in its [AI] table): the record path of the snapshot member, the
// signal ID its analog reports go under, and the alarm ID of its limits (the
// signal ID with '6' at position 3 and '1' at position 8).
struct ThresholdValue {
    std::string path;
    std::string signal_id;
    std::string alarm_id;
};

// The [AI] table of the device's threshold file in mode 1; empty in other
// modes, without a file, or when the file cannot be read (the driver reports
// that itself).
std::vector<ThresholdValue> threshold_values(const Json::Value& entry, uint32_t data_id);

// Where a record path ("dc.v", "ac_channels[1].f", "channels[3].out_i") lies
// in the record, by the record's field table; nothing for a path that names
// no number of a section.
std::optional<smd::ValuePlace> record_place(const std::string& path);

}  // namespace smdgw
