#pragma once
// What the host can tell about a device's thresholds before and after the
// driver reads them: its threshold mode and, in mode 1, the INI file the
// driver takes (the first of ./ini/<id>.yaml, ./ini/<id>.ini,
// ./ini/<model>.yaml, ./ini/<model>.ini, then the same below ./ini/veltra/).

#include <json/value.h>

#include <cstdint>
#include <string>

namespace smdgw {

// "appSetting"/"b_mode" read as the driver reads it (atoi of its text); 1 when absent.
int threshold_mode(const Json::Value& entry);

// The threshold file of a mode 1 device, relative to the working directory; "" when none exists.
std::string threshold_file(uint32_t data_id);

// Where a failed initialisation most likely comes from, as a key to put in
// front of the driver's message ("threshold file ./ini/7.ini (\"appSetting\"/\"b_mode\" 1)"),
// or "" when the host cannot tell.
std::string init_failure_source(const Json::Value& entry, uint32_t data_id);

}  // namespace smdgw
