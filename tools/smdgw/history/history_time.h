#pragma once
// Times and durations as users type them for the history options, and the
// time text of exported rows.

#include <cstdint>
#include <string>

namespace smdgw {

// "YYYY-MM-DD", "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS" ('T' may stand for
// the blank) in local time, or with a trailing 'Z' in UTC; "@SECONDS" since the
// epoch. False for anything else, including dates that do not exist.
bool parse_time_text(const std::string& text, int64_t& seconds);

// "90", "90s", "15m", "12h", "7d"; false for anything else or a negative value.
bool parse_duration_text(const std::string& text, int64_t& seconds);

// "YYYY-MM-DD HH:MM:SS" in local time, as spreadsheets read it.
std::string local_time_text(int64_t seconds);

}  // namespace smdgw
