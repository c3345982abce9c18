#pragma once
// What the MQTT service puts into the outbox: its kinds of message (their
// order is the drop order when the outbox is full), the flag it keeps with
// each, and the fields every payload carries besides the event itself.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/smdgw/core/iso8601_time.h"

namespace smdgw {

// Lower kinds go first when the outbox is full: records, then states, alarm
// lists, alarm events and, last of all, the notices of drops. The values are
// the rows' drop_class.
enum class MqttKind : uint8_t { Record = 0, State = 1, Alarms = 2, Alarm = 3, Dropped = 4 };

// The kinds' names, in that order: "record", "state", "alarms", "alarm", "dropped".
const std::vector<std::string>& mqtt_kind_names();
// What a kind is called in a sentence: "record", "alarm list" ...
const char* mqtt_kind_noun(size_t kind);

// The message's flags in the outbox.
constexpr uint32_t kMqttRetain = 1;

// pub_seq runs per device and kind: the outbox's stream "<device>/<kind>",
// and "dropped" for the gateway's own notices.
std::string pub_seq_stream(const std::string& device, const std::string& kind);

// 32 hex digits from the system's random source, new at every start.
std::string new_boot_id();

}  // namespace smdgw
