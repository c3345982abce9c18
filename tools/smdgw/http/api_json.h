#pragma once
// The API's JSON shapes of devices and alarms.

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tools/smdgw/http/device_view.h"

namespace smdgw::http {

// "2026-03-01T12:00:05+01:00": local time with its offset from UTC.
std::string iso_time(int64_t unix_seconds);

// {"name","data_id","address","port","role","state","last_round","age_s",
//  "rounds","rounds_damaged","frame_errors","alarms_active"}
Json::Value device_json(const DeviceView& d);
// The same plus "record" (the record as shown, with "complete" and
// "restored"), "sections" ({"dc": {"state": "held", "refreshed": ISO time,
// "age_s": 12}, ...}) and "alarms".
Json::Value device_detail_json(const DeviceView& d);
// For a value of the key: "section", "section_state", "refreshed" (ISO time
// of the last live round that refreshed the section, or null) and "age_s".
void value_section(Json::Value& out, const DeviceView& d, const std::string& key);
// {"device","alarm_id","key","seq","level","message","english","since"}
Json::Value alarm_json(const AlarmView& a);

// {"error": message}
Json::Value error_json(const std::string& message);

// One line of JSON text as smdgw writes its events.
std::string json_text(const Json::Value& v);

}  // namespace smdgw::http
