#include "tools/smdgw/http/ack_body.h"

#include "tools/smdgw/core/utf8_text.h"
#include "tools/smdgw/http/control_body.h"

namespace smdgw::http {

namespace {

// Characters, not bytes: limits people can reason about in any script.
size_t utf8_length(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

bool text_member(const Json::Value& v, const char* name, size_t max_chars, bool required,
                 std::string& out, std::string& error) {
    const Json::Value& m = v[name];
    if (m.isNull()) {
        if (!required) return true;
        error = std::string("\"") + name + "\" is missing: say who handles the alarm";
        return false;
    }
    if (!m.isString()) {
        error = std::string("\"") + name + "\" must be a string";
        return false;
    }
    out = m.asString();
    if (!is_utf8(out)) {
        error = std::string("\"") + name + "\" is not UTF-8";
        return false;
    }
    for (unsigned char c : out) {
        if (c < 0x20 || c == 0x7f) {
            error = std::string("\"") + name + "\" holds a control character";
            return false;
        }
    }
    if (required && out.empty()) {
        error = std::string("\"") + name + "\" is empty: say who handles the alarm";
        return false;
    }
    if (utf8_length(out) > max_chars) {
        error = std::string("\"") + name + "\" is longer than " + std::to_string(max_chars) +
                " characters";
        return false;
    }
    return true;
}

}  // namespace

bool parse_ack_body(const std::string& body, AckBody& out, std::string& error) {
    Json::Value v;
    if (!read_json_object(body, v, error)) return false;
    for (const std::string& name : v.getMemberNames()) {
        if (name != "by" && name != "comment") {
            error = "unknown member \"" + name + "\" (expected \"by\" and \"comment\")";
            return false;
        }
    }
    return text_member(v, "by", 64, true, out.by, error) &&
           text_member(v, "comment", 256, false, out.comment, error);
}

}  // namespace smdgw::http
