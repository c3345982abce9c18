#pragma once
// The members of the record and alarm events as smdgw writes them: the JSON
// output and the MQTT payloads are made by these, so a consumer reads the
// same objects from either.

#include "host/host_events.h"
#include "tools/smdgw/output/json_text.h"

namespace smdgw {

// How the record itself is written: in full ("record":{...}, as the JSON
// output) or compact ("compact":{...}, record_compact.h).
enum class RecordForm { Full, Compact };

// "data_id", "event":"record", "length", "record":{...}, "complete",
// "damage":{...} on a damaged round, "restored"; the compact form has
// "compact" instead of "length" and "record".
void record_members(JsonObject& obj, const smd::RecordPublished& r,
                    RecordForm form = RecordForm::Full);
// "event":"alarm", "state", "level", "key", "alarm_id", "value", "message", "english", "seq",
// "reason" when a change has one
void alarm_members(JsonObject& obj, const smd::AlarmChange& a);

}  // namespace smdgw
