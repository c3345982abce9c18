#pragma once
// The members of the record and alarm events as smdgw writes them: the JSON
// output and the MQTT payloads are made by these, so a consumer reads the
// same objects from either.

#include <string_view>

#include "host/host_events.h"
#include "tools/smdgw/output/json_text.h"

namespace smdgw {

// How the record itself is written: in full ("record":{...}, as the JSON
// output) or compact ("compact":{...}, record_compact.h).
enum class RecordForm { Full, Compact };

// "data_id", "event":"record", "length", "record":{...} (as the driver
// published it), "complete", "damage":{...} on a damaged round, "restored",
// "sections":{"ac":"fresh","rectifiers":"fresh","dc":"missing"}; the compact
// form has "compact" instead of "length" and "record". battery: the
// device's battery estimate as JSON text (BatteryMonitor::json), written as
// "battery" when not empty.
void record_members(JsonObject& obj, const smd::RecordPublished& r,
                    RecordForm form = RecordForm::Full, std::string_view battery = {});
// {"ac":STATE,"rectifiers":STATE,"dc":STATE}, the states "fresh", "held",
// "missing" or "never" (host/plant_sections.h).
void section_states(std::string& out, const smd::SectionStates& states);
// "event":"alarm", "state", "level", "key", "alarm_id", "value", "message", "english", "seq",
// "reason" when a change has one
void alarm_members(JsonObject& obj, const smd::AlarmChange& a);

}  // namespace smdgw
