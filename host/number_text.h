#pragma once
// Number-to-text the way a default std::ostream writes it, without the stream.

#include <cstddef>
#include <string>

namespace smd {

// Room for the longest text write_float writes ("-1.79769e+308" and shorter).
constexpr size_t kMaxFloatText = 32;

// General notation, six significant digits, no trailing zeros: what
// `std::cout << f` writes for a float or double with default formatting.
std::string format_float(double v);
// Appends the same text to out.
void append_float(std::string& out, double v);
// Writes the same text at p (room for kMaxFloatText characters) and returns
// the end of it.
char* write_float(char* p, double v);

// A JSON number as the gateway writes doubles: seven significant digits
// ("%.7g"), ".0" added to a whole number, "null" for NaN and infinities.
void append_json_number(std::string& out, double v);
// A float as the JSON number of the double nearest to its shortest decimal
// text (0.1f is 0.1, not 0.100000001).
void append_json_float(std::string& out, float v);

}  // namespace smd
