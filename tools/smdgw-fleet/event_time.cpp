#include "tools/smdgw-fleet/event_time.h"

#include <ctime>

namespace smdgw {

namespace {

// Reads `n` digits at `at`; false unless they are all digits.
bool digits(const std::string& t, size_t at, size_t n, int& out) {
    if (at + n > t.size()) return false;
    out = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (t[i] < '0' || t[i] > '9') return false;
        out = out * 10 + (t[i] - '0');
    }
    return true;
}

}  // namespace

bool parse_event_time(const std::string& t, int64_t& ms) {
    int y, mo, d, h, mi, s;
    if (!digits(t, 0, 4, y) || t.size() < 19 || t[4] != '-' || !digits(t, 5, 2, mo) ||
        t[7] != '-' || !digits(t, 8, 2, d) || t[10] != 'T' || !digits(t, 11, 2, h) ||
        t[13] != ':' || !digits(t, 14, 2, mi) || t[16] != ':' || !digits(t, 17, 2, s))
        return false;
    size_t at = 19;
    int frac = 0;
    if (at < t.size() && t[at] == '.') {
        if (!digits(t, at + 1, 3, frac)) return false;
        at += 4;
    }
    int offset_min = 0;
    if (at < t.size() && t[at] == 'Z') {
        ++at;
    } else if (at < t.size() && (t[at] == '+' || t[at] == '-')) {
        int oh, om;
        if (!digits(t, at + 1, 2, oh) || at + 3 >= t.size() || t[at + 3] != ':' ||
            !digits(t, at + 4, 2, om) || oh > 23 || om > 59)
            return false;
        offset_min = (t[at] == '-' ? -1 : 1) * (oh * 60 + om);
        at += 6;
    } else {
        return false;
    }
    if (at != t.size() || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60)
        return false;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    const std::time_t secs = ::timegm(&tm);
    if (tm.tm_mday != d) return false;  // 31 April and the like
    ms = (static_cast<int64_t>(secs) - offset_min * 60) * 1000 + frac;
    return true;
}

}  // namespace smdgw
