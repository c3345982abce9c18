#pragma once
// The configuration's JSON reader: JSON as RFC 8259 writes it and nothing
// more. A configuration edited by hand picks up what other readers forgive:
// a comma before "}" or "]", a comment, a key given twice, text after the
// closing brace, bytes that are not UTF-8. Each is refused with the line and
// column where it is, so that a file is never read differently from how it
// looks.
//
//   {"devices": [{"name": "a", "data_id": 1},]}
//                                            ^ line 1, column 42: a comma
//                                              before "]" (trailing commas
//                                              are not JSON)

#include <json/value.h>

#include <string>

namespace smdgw {

// Parses text into root; false with error ("line L, column C: what") when
// the text is not strict JSON. A UTF-8 byte order mark at the start is
// allowed.
bool parse_strict_json(const std::string& text, Json::Value& root, std::string& error);

// The position of the first byte that is not UTF-8, as "line L, column C
// (byte 0xNN)", or "" when the text is UTF-8 throughout.
std::string first_non_utf8(const std::string& text);

}  // namespace smdgw
