#pragma once
// The body of a control request:
//   {"code": 320, "text": "419500201003"}     request bytes given as text
//   {"code": 300, "hex": "0102030405060708"}  request bytes given as hex
// Exactly one of "text" and "hex"; "code" an integer of 32 bits. Other
// members are refused, so a typo never goes to a live plant unnoticed.

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

namespace smdgw::http {

// Longest request accepted, in bytes after decoding.
constexpr size_t kMaxControlRequestBytes = 1024;

struct ControlBody {
    int code = 0;
    std::vector<unsigned char> request;
};

// The strict reading of a request body every POST endpoint shares: one JSON
// object, no comments, no duplicate members, shallow; false with the reason.
bool read_json_object(const std::string& body, Json::Value& v, std::string& error);

// False with the reason (naming the member) when the body is not such an object.
bool parse_control_body(const std::string& body, ControlBody& out, std::string& error);

}  // namespace smdgw::http
