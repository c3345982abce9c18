#pragma once
// The English meaning of every alarm the power-system driver raises. The
// driver's messages are Chinese and fixed by the plant's conventions; the
// host adds the meaning so that people who do not read them still know what
// an alarm says. The meaning is found by alarm ID (and key) in the alarm
// family table (host/alarm_families.h); an alarm repeated per AC input,
// module or fuse gets a meaning with its number.

#include <string>

namespace smd {

// Configured thresholds: "当前值" value "高于阈值:" threshold (or "低于阈值:").
struct ThresholdWord {
    const char* chinese;
    const char* english;
};
inline constexpr const char* kThresholdHead = "当前值";
inline constexpr ThresholdWord kThresholdWords[] = {
    {"高于阈值:", " above threshold "},
    {"低于阈值:", " below threshold "},
};

// The meaning of an alarm. Messages the host writes itself (limit checks, its
// own alarms) are English already and come back as they are; an alarm of a
// configured threshold composes its meaning from its message ("Current value
// 57 above threshold 56.5"); an alarm nobody knows gives "".
std::string alarm_english(const std::string& alarm_id, const std::string& key,
                          const std::string& message);

// The AC input, module, panel or fuse an alarm repeated per instance is about
// (the {n} of its meaning), 0 for one that is not repeated or not known.
unsigned alarm_instance(const std::string& alarm_id, const std::string& key,
                        const std::string& message);

}  // namespace smd
