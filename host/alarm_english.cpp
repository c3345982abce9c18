#include "host/alarm_english.h"

#include <cstring>

#include "host/alarm_families.h"

namespace smd {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool starts_with(const std::string& s, size_t at, const char* p) {
    const size_t n = std::strlen(p);
    return s.size() >= at + n && s.compare(at, n, p) == 0;
}

// The number written at s[at...] (at most 5 digits), without leading zeros;
// "" when there is none.
std::string number_at(const std::string& s, size_t at) {
    size_t n = 0;
    while (at + n < s.size() && n < 5 && is_digit(s[at + n])) ++n;
    if (n == 0) return {};
    size_t first = at;
    while (first + 1 < at + n && s[first] == '0') ++first;
    return s.substr(first, at + n - first);
}

bool plain_ascii(const std::string& s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// The instance number of an alarm of this family, or "".
std::string instance_number(const AlarmFamily& f, const std::string& alarm_id,
                            const std::string& message) {
    switch (f.instance) {
        case Instance::None:
            break;
        case Instance::Id: {
            const size_t head = std::strlen(f.alarm_id);
            const unsigned n = static_cast<unsigned>(std::stoul(alarm_id.substr(head, 3)));
            return std::to_string(n - f.offset);
        }
        case Instance::Message:
            if (starts_with(message, 0, f.number_after))
                return number_at(message, std::strlen(f.number_after));
            break;
    }
    return {};
}

// "Current value 57 above threshold 56.5" from "当前值57高于阈值:56.5".
std::string threshold_english(const std::string& message) {
    if (!starts_with(message, 0, kThresholdHead)) return {};
    const size_t from = std::strlen(kThresholdHead);
    for (const ThresholdWord& w : kThresholdWords) {
        const size_t at = message.find(w.chinese, from);
        if (at == std::string::npos) continue;
        const std::string value = message.substr(from, at - from);
        const std::string threshold = message.substr(at + std::strlen(w.chinese));
        if (plain_ascii(value) && plain_ascii(threshold))
            return "Current value " + value + w.english + threshold;
    }
    return {};
}

}  // namespace

std::string alarm_english(const std::string& alarm_id, const std::string& key,
                          const std::string& message) {
    if (!message.empty() && plain_ascii(message)) return message;
    const AlarmFamily* f = find_alarm_family(alarm_id, key);
    if (!f) return threshold_english(message);
    std::string out = f->english;
    const size_t at = out.find("{n}");
    if (at != std::string::npos) {
        const std::string n = instance_number(*f, alarm_id, message);
        out.replace(at, 3, n.empty() ? "?" : n);
    }
    return out;
}

unsigned alarm_instance(const std::string& alarm_id, const std::string& key,
                        const std::string& message) {
    const AlarmFamily* f = find_alarm_family(alarm_id, key);
    if (!f) return 0;
    const std::string n = instance_number(*f, alarm_id, message);
    return n.empty() ? 0u : static_cast<unsigned>(std::stoul(n));
}

}  // namespace smd
