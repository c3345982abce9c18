#pragma once
// Number-to-text the way a default std::ostream writes it, without the stream.

#include <string>

namespace smd {

// General notation, six significant digits, no trailing zeros: what
// `std::cout << f` writes for a float or double with default formatting.
std::string format_float(double v);
// Appends the same text to out.
void append_float(std::string& out, double v);

}  // namespace smd
