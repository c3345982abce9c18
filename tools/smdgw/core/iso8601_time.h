#pragma once
// The time every message to the outside carries (MQTT payloads, mail and
// webhook notifications): local time with its offset, to the millisecond.

#include <cstdint>
#include <string>

namespace smdgw {

// "2026-12-08T23:45:01.123+01:00"
std::string iso8601_time(int64_t unix_ms);

}  // namespace smdgw
