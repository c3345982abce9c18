#pragma once
// Numbers in the device configuration are read from their text, the way the
// C library's atoi and atof read it: leading blanks, an optional sign, the
// leading digits; text without a leading number reads as 0.

#include <json/value.h>

#include <cstdlib>
#include <string>

namespace veltra {

// atoi without its undefined overflow: strtol's result narrowed like glibc's atoi.
inline int text_to_int(const std::string& text) {
    return static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
}

inline float text_to_float(const std::string& text) {
    return static_cast<float>(std::strtod(text.c_str(), nullptr));
}

// An option value: its text read as a number. JSON true and false read as 1
// and 0 (their text "true"/"false" would read as 0). An array or an object
// makes the JSON library throw.
inline int option_to_int(const Json::Value& v) {
    if (v.isBool()) return v.asBool() ? 1 : 0;
    return text_to_int(v.asString());
}

}  // namespace veltra
