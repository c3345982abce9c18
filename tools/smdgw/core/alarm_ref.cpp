#include "tools/smdgw/core/alarm_ref.h"

namespace smdgw {

namespace {

void escaped(std::string& out, const std::string& part) {
    static const char kHex[] = "0123456789ABCDEF";
    for (unsigned char c : part) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '~';
            out += kHex[c >> 4];
            out += kHex[c & 0x0f];
        }
    }
}

}  // namespace

std::string alarm_ref(const std::string& device, const std::string& key,
                      const std::string& alarm_id, unsigned seq) {
    std::string out;
    out.reserve(device.size() + key.size() + alarm_id.size() + 8);
    escaped(out, device);
    out += '.';
    escaped(out, key);
    out += '.';
    escaped(out, alarm_id);
    out += '.';
    out += std::to_string(seq);
    return out;
}

}  // namespace smdgw
