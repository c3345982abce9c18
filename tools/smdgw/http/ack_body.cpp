#include "tools/smdgw/http/ack_body.h"

#include <cstdio>

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

// Code points that change how the text around them looks or where a line
// ends, so that the name shown on the page, the API and the alarm log could
// differ from what was typed: controls (C0, DEL, C1), bidirectional
// embeddings, overrides and isolates, zero-width characters and the Unicode
// line and paragraph separators. Null when none; otherwise the kind found,
// and cp the code point.
const char* hidden_character(const std::string& s, unsigned& cp) {
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        if (n > s.size() - i) n = s.size() - i;  // only whole UTF-8 arrives here
        cp = n == 1 ? c : c & (0xFF >> (n + 1));
        for (size_t k = 1; k < n; ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        i += n;
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return "a control character";
        if ((cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069))
            return "a bidirectional control";
        if ((cp >= 0x200B && cp <= 0x200D) || cp == 0x2060 || cp == 0xFEFF)
            return "a zero-width character";
        if (cp == 0x2028 || cp == 0x2029) return "a line or paragraph separator";
    }
    return nullptr;
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
    unsigned cp = 0;
    if (const char* kind = hidden_character(out, cp)) {
        char code[16];
        std::snprintf(code, sizeof code, "U+%04X", cp);
        error = std::string("\"") + name + "\" holds " + code + ", " + kind;
        return false;
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
            error = "unknown member " + quoted(name) + " (expected \"by\" and \"comment\")";
            return false;
        }
    }
    if (!text_member(v, "by", 64, true, out.by, error) ||
        !text_member(v, "comment", 256, false, out.comment, error))
        return false;
    // "name: text" is how the alarm log and its readers show who said what.
    if (out.by.find(": ") != std::string::npos) {
        error = "\"by\" may not contain \": \"";
        return false;
    }
    return true;
}

}  // namespace smdgw::http
