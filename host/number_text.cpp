#include "host/number_text.h"

#include <cstdio>

namespace smd {

void append_float(std::string& out, double v) {
    // The default stream formats with "%.*g" and precision 6.
    char buf[32];
    const int n = std::snprintf(buf, sizeof buf, "%g", v);
    if (n > 0) out.append(buf, static_cast<size_t>(n) < sizeof buf ? n : sizeof buf - 1);
}

std::string format_float(double v) {
    std::string s;
    append_float(s, v);
    return s;
}

}  // namespace smd
