#include "host/number_text.h"

#include <charconv>

namespace smd {

void append_float(std::string& out, double v) {
    // A default stream writes "%.6g"; to_chars with the same precision gives
    // the same text without the stream or the C locale.
    char buf[32];
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 6);
    out.append(buf, res.ptr);
}

std::string format_float(double v) {
    std::string s;
    append_float(s, v);
    return s;
}

}  // namespace smd
