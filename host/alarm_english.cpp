#include "host/alarm_english.h"

#include <cstring>

namespace smd {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool starts_with(const std::string& s, size_t at, const char* p) {
    const size_t n = std::strlen(p);
    return s.size() >= at + n && s.compare(at, n, p) == 0;
}

// The digits at s[at...]: how many (at most 5), and their value without leading zeros.
size_t digits_at(const std::string& s, size_t at, std::string& number) {
    size_t n = 0;
    while (at + n < s.size() && n < 5 && is_digit(s[at + n])) ++n;
    size_t first = at;
    while (first + 1 < at + n && s[first] == '0') ++first;
    number.assign(s, first, at + n - first);
    return n;
}

std::string with_number(const char* english, const std::string& number) {
    std::string out = english;
    const size_t at = out.find("{n}");
    if (at != std::string::npos) out.replace(at, 3, number);
    return out;
}

bool plain_ascii(const std::string& s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

}  // namespace

std::string alarm_english(const std::string& alarm_id, const std::string& message) {
    if (message.empty() || plain_ascii(message)) return message;
    for (const FixedMeaning& m : kFixedMeanings)
        if (message == m.message) return m.english;
    std::string number;
    if (message == kModuleFaultMessage) {
        const size_t head = std::strlen(kModuleFaultIdHead);
        if (starts_with(alarm_id, 0, kModuleFaultIdHead) &&
            digits_at(alarm_id, head, number) == 3 && alarm_id.size() == head + 3)
            return with_number(kModuleFaultEnglish, number);
        return "Rectifier module fault alarm";
    }
    for (const NumberedMeaning& m : kNumberedMeanings) {
        const size_t head = std::strlen(m.head);
        if (!starts_with(message, 0, m.head)) continue;
        const size_t n = digits_at(message, head, number);
        if (n == 0) continue;
        if (message.size() == head + n + std::strlen(m.tail) &&
            starts_with(message, head + n, m.tail))
            return with_number(m.english, number);
    }
    if (starts_with(message, 0, kThresholdHead)) {
        const size_t from = std::strlen(kThresholdHead);
        for (const FixedMeaning& w : kThresholdWords) {
            const size_t at = message.find(w.message, from);
            if (at == std::string::npos) continue;
            const std::string value = message.substr(from, at - from);
            const std::string threshold = message.substr(at + std::strlen(w.message));
            if (plain_ascii(value) && plain_ascii(threshold))
                return "Current value " + value + w.english + threshold;
        }
    }
    return "";
}

}  // namespace smd
