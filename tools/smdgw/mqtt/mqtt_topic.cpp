#include "tools/smdgw/mqtt/mqtt_topic.h"

#include <cstdint>
#include <cstdio>

namespace smdgw {

std::string encode_topic_level(const std::string& name) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        const bool special = c == '%' || c == '+' || c == '#' || c == '/' || c < 0x20 ||
                             c == 0x7F || (i == 0 && c == '$');
        if (!special) {
            out += static_cast<char>(c);
            continue;
        }
        out += '%';
        out += kHex[c >> 4];
        out += kHex[c & 0x0F];
    }
    return out;
}

std::string default_topic_prefix(const std::string& gateway_id) {
    return "smdgw/" + encode_topic_level(gateway_id);
}

bool check_topic_prefix(const std::string& prefix, std::string& error) {
    if (prefix.empty()) {
        error = "is empty";
        return false;
    }
    if (prefix.find_first_of("+#") != std::string::npos) {
        error = "holds a wildcard ('+' or '#')";
        return false;
    }
    if (prefix.find('\0') != std::string::npos) {
        error = "holds a NUL character";
        return false;
    }
    if (prefix.back() == '/' || prefix.front() == '/' || prefix.find("//") != std::string::npos) {
        error = "has an empty topic level";
        return false;
    }
    return true;
}

const char* topic_kind_name(TopicKind kind) {
    switch (kind) {
        case TopicKind::Record:
            return "record";
        case TopicKind::State:
            return "state";
        case TopicKind::Alarms:
            return "alarms";
        case TopicKind::Alarm:
            return "alarm";
        case TopicKind::HaState:
            return "ha_state";
    }
    return "record";
}

std::string device_topic(const std::string& prefix, const std::string& device, TopicKind kind) {
    return prefix + "/" + encode_topic_level(device) + "/" + topic_kind_name(kind);
}

}  // namespace smdgw

namespace smdgw {

uint32_t fnv1a_32(const std::string& text) {
    uint32_t h = 2166136261u;
    for (unsigned char c : text) {
        h ^= c;
        h *= 16777619u;
    }
    return h;
}

unsigned topic_shard(const std::string& gateway_id, unsigned shards) {
    return shards == 0 ? 0 : fnv1a_32(gateway_id) % shards;
}

std::string shard_level(unsigned shard) {
    char text[16];
    std::snprintf(text, sizeof text, "s%02u", shard);
    return text;
}

}  // namespace smdgw
