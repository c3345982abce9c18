#pragma once
// The "time" of a gateway's message, ISO 8601 as the gateway writes it
// ("2026-12-08T23:55:38.052+01:00", "...Z"), in milliseconds since the epoch.

#include <cstdint>
#include <string>

namespace smdgw {

// False for any other text, or a date that does not exist.
bool parse_event_time(const std::string& text, int64_t& ms);

}  // namespace smdgw
