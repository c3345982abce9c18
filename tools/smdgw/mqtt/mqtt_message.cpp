#include "tools/smdgw/mqtt/mqtt_message.h"

#include <ctime>
#include <random>

namespace smdgw {

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
