#include "tools/smdgw/mqtt/mqtt_message.h"

#include <ctime>
#include <random>

namespace smdgw {

std::string iso8601_time(int64_t unix_ms) {
    const std::time_t secs = static_cast<std::time_t>(unix_ms / 1000);
    const int ms = static_cast<int>(unix_ms % 1000);
    std::tm tm {};
    localtime_r(&secs, &tm);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &tm);
    long off = tm.tm_gmtoff;
    const char sign = off < 0 ? '-' : '+';
    if (off < 0) off = -off;
    char out[64];
    std::snprintf(out, sizeof out, "%s.%03d%c%02ld:%02ld", date, ms < 0 ? 0 : ms, sign,
                  off / 3600, (off % 3600) / 60);
    return out;
}

const std::vector<std::string>& mqtt_kind_names() {
    static const std::vector<std::string> names = {"record", "state", "alarms", "alarm",
                                                   "dropped"};
    return names;
}

const char* mqtt_kind_noun(size_t kind) {
    static const char* const nouns[] = {"record", "state", "alarm list", "alarm", "drop notice"};
    return kind < sizeof nouns / sizeof nouns[0] ? nouns[kind] : "message";
}

std::string pub_seq_stream(const std::string& device, const std::string& kind) {
    return device.empty() ? kind : device + "/" + kind;
}

std::string new_boot_id() {
    std::random_device rd;
    static const char kHex[] = "0123456789abcdef";
    std::string id;
    for (int i = 0; i < 4; ++i) {
        const uint32_t v = rd();
        for (int k = 0; k < 8; ++k) id += kHex[(v >> (k * 4)) & 0xF];
    }
    return id;
}

}  // namespace smdgw
