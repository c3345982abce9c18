#include "tools/smdgw/output/json_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "host/number_text.h"

namespace smdgw {

void json_string(std::string& out, std::string_view s) {
    static const char kHex[] = "0123456789abcdef";
    out.push_back('"');
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out.push_back(kHex[c >> 4]);
                    out.push_back(kHex[c & 0xF]);
                } else {
                    out.push_back(ch);
                }
        }
    }
    out.push_back('"');
}

void json_float(std::string& out, double v) { smd::append_json_number(out, v); }

void json_int(std::string& out, int64_t v) {
    char buf[24];
    const char* end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    out.append(buf, static_cast<size_t>(end - buf));
}

void json_uint(std::string& out, uint64_t v) {
    char buf[24];
    const char* end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    out.append(buf, static_cast<size_t>(end - buf));
}

std::string& JsonObject::add(std::string_view key) {
    // Objects are smdgw's own, with a handful of members each.
    if (count_ == sizeof members_ / sizeof members_[0])
        throw std::length_error("JSON object with more members than smdgw writes");
    Member& m = members_[count_++];
    m.key = key;
    m.value.clear();
    return m.value;
}

void JsonObject::close(std::string& out) { close_marking(out, {}); }

size_t JsonObject::close_marking(std::string& out, std::string_view mark) {
    size_t at = std::string::npos;
    Member* end = members_ + count_;
    std::stable_sort(members_, end, [](const Member& a, const Member& b) { return a.key < b.key; });
    out.push_back('{');
    for (Member* m = members_; m != end; ++m) {
        if (m != members_) out.push_back(',');
        json_string(out, m->key);
        out.push_back(':');
        if (!mark.empty() && m->key == mark) at = out.size();
        out += m->value;
    }
    out.push_back('}');
    count_ = 0;
    return at;
}

}  // namespace smdgw
