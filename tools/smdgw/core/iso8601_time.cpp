#include "tools/smdgw/core/iso8601_time.h"

#include <cstdio>
#include <ctime>

namespace smdgw {

std::string iso8601_time(int64_t unix_ms) {
    const std::time_t secs = static_cast<std::time_t>(unix_ms / 1000);
    const int ms = static_cast<int>(unix_ms % 1000);
    std::tm tm {};
    localtime_r(&secs, &tm);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &tm);
    long off = tm.tm_gmtoff;
    const char sign = off < 0 ? '-' : '+';
    if (off < 0) off = -off;
    char out[64];
    std::snprintf(out, sizeof out, "%s.%03d%c%02ld:%02ld", date, ms < 0 ? 0 : ms, sign,
                  off / 3600, (off % 3600) / 60);
    return out;
}

}  // namespace smdgw
