#include "tools/smdgw/core/strict_json.h"

#include <json/reader.h>

#include <cstdio>
#include <memory>
#include <sstream>

namespace smdgw {

namespace {

// Line and column of the character at a byte offset; columns count
// characters, not bytes, as editors show them.
struct Position {
    size_t line = 1;
    size_t column = 1;
    void step(unsigned char c) {
        if (c == '\n') {
            ++line;
            column = 1;
        } else if ((c & 0xC0) != 0x80) {
            ++column;
        }
    }
    std::string text() const {
        return "line " + std::to_string(line) + ", column " + std::to_string(column);
    }
};

bool blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// What jsoncpp lets through although JSON has no place for it: comments
// (even in strict mode, one after a value is skipped) and a comma before a
// closing bracket. Strings are stepped over, escapes included; the scan ends
// at the end of the text, so an unterminated string is left to the parser.
std::string lexical_problem(const std::string& text) {
    Position at;
    Position comma_at;
    bool in_string = false;
    bool comma = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (in_string) {
            if (c == '\\' && i + 1 < text.size()) {
                at.step(c);
                ++i;
                at.step(static_cast<unsigned char>(text[i]));
                continue;
            }
            if (c == '"') in_string = false;
            at.step(c);
            continue;
        }
        if (!blank(c)) {
            if (comma && (c == '}' || c == ']'))
                return comma_at.text() + ": a comma before \"" + std::string(1, char(c)) +
                       "\" (trailing commas are not JSON)";
            comma = false;
            if (c == '/' || c == '#') return at.text() + ": a comment (JSON has no comments)";
            if (c == ',') {
                comma = true;
                comma_at = at;
            }
            if (c == '"') in_string = true;
        }
        at.step(c);
    }
    return {};
}

// jsoncpp's "* Line 3, Column 5\n  Duplicate key: 'x'\n" as
// "line 3, column 5: Duplicate key: 'x'".
std::string reader_message(const std::string& errors) {
    std::istringstream in(errors);
    std::string out, line;
    while (std::getline(in, line)) {
        if (line.rfind("* Line ", 0) == 0) {
            std::string where = line.substr(2);
            where[0] = 'l';
            const auto col = where.find(", Column ");
            if (col != std::string::npos) where[col + 2] = 'c';
            out += (out.empty() ? "" : "; ") + where + ":";
            continue;
        }
        const auto first = line.find_first_not_of(' ');
        if (first == std::string::npos) continue;
        out += " " + line.substr(first);
    }
    return out;
}

}  // namespace

std::string first_non_utf8(const std::string& text) {
    Position at;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t n = c < 0x80           ? 1
                   : (c >> 5) == 0x6  ? 2
                   : (c >> 4) == 0xE  ? 3
                   : (c >> 3) == 0x1E ? 4
                                      : 0;
        bool ok = n > 0 && i + n <= text.size() && !(c == 0xC0 || c == 0xC1 || c > 0xF4);
        for (size_t k = 1; ok && k < n; ++k)
            ok = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (!ok) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", c);
            return at.text() + " (byte " + hex + ")";
        }
        at.step(c);
        i += n;
    }
    return {};
}

bool parse_strict_json(const std::string& text, Json::Value& root, std::string& error) {
    error = lexical_problem(text);
    if (!error.empty()) return false;
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["allowTrailingCommas"] = false;
    builder["collectComments"] = false;
    builder["skipBom"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    if (reader->parse(text.data(), text.data() + text.size(), &root, &errors)) return true;
    error = reader_message(errors);
    if (error.empty()) error = "not JSON";
    return false;
}

}  // namespace smdgw
