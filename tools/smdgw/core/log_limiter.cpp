#include "tools/smdgw/core/log_limiter.h"

namespace smdgw {

std::optional<uint64_t> LogLimiter::allow(double now_s) {
    // A clock that steps back (a new monotonic base in tests) does not
    // silence the message for good.
    if (written_ && now_s >= last_s_ && now_s - last_s_ < interval_s_) {
        ++held_;
        return std::nullopt;
    }
    written_ = true;
    last_s_ = now_s;
    const uint64_t held = held_;
    held_ = 0;
    return held;
}

std::string LogLimiter::held_note(uint64_t held) {
    if (held == 0) return {};
    return " (" + std::to_string(held) + " more since the last message)";
}

}  // namespace smdgw
