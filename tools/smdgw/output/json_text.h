#pragma once
// JSON text as smdgw has always written it (jsoncpp's compact writer with
// UTF-8 and seven significant digits), built straight into a string without
// a tree: members in byte order of their keys, floats as "%.7g" with ".0"
// added to whole numbers, NaN and infinities as null, control characters
// escaped and every other byte (UTF-8) as it is.

#include <cstdint>
#include <string>
#include <string_view>

namespace smdgw {

void json_string(std::string& out, std::string_view s);
void json_float(std::string& out, double v);
void json_int(std::string& out, int64_t v);
void json_uint(std::string& out, uint64_t v);
inline void json_bool(std::string& out, bool v) { out += v ? "true" : "false"; }

// Writes the members of one object in key order whatever order they come
// in: add() keeps each member's text, close() sorts and joins them.
class JsonObject {
   public:
    // The value text of a new member (append to it).
    std::string& add(std::string_view key);
    // {"key":value,...} appended to out.
    void close(std::string& out);
    // The same, returning where in `out` the value of member `mark` begins
    // (npos when there is none): a number filled in later goes there.
    size_t close_marking(std::string& out, std::string_view mark);

   private:
    struct Member {
        std::string_view key;
        std::string value;
    };
    Member members_[16];
    size_t count_ = 0;
};

}  // namespace smdgw
