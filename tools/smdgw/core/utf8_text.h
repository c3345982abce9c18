#pragma once
// Text from outside (a request path, a device name typed by a client) before
// it reaches a log line or JSON: strict UTF-8 only, and names quoted so that
// no byte of theirs can end the line or the quotes they stand in.

#include <string>
#include <string_view>

namespace smdgw {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing beyond U+10FFFF.
bool is_utf8(std::string_view text);

// The text as a JSON string on one line: quotes, backslashes and control
// characters escaped, and the Unicode line breaks U+0085, U+2028 and U+2029
// too, which some log viewers and JavaScript readers take as a new line.
//   plant"1<U+2028>  ->  "plant\"1\u2028"
std::string quoted(std::string_view text);

}  // namespace smdgw
