#pragma once
// The members of the record and alarm events as smdgw writes them: the JSON
// output and the MQTT payloads are made by these, so a consumer reads the
// same objects from either.

#include "host/host_events.h"
#include "tools/smdgw/output/json_text.h"

namespace smdgw {

// "data_id", "event":"record", "length", "record":{...}, "complete",
// "damage":{...} on a damaged round, "restored"
void record_members(JsonObject& obj, const smd::RecordPublished& r);
// "event":"alarm", "state", "level", "key", "alarm_id", "value", "message", "english", "seq",
// "reason" when a change has one
void alarm_members(JsonObject& obj, const smd::AlarmChange& a);

}  // namespace smdgw
