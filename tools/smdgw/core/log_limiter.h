#pragma once
// Keeps a repeated message from filling the log: the first occurrence is
// written, later ones at most once an interval, and the one written after a
// quiet spell says how many were held back in between.
//
//   LogLimiter limit(60.0);
//   if (auto n = limit.allow(now_s)) log_warning(what + limit.held_note(*n));

#include <cstdint>
#include <optional>
#include <string>

namespace smdgw {

class LogLimiter {
   public:
    explicit LogLimiter(double interval_s = 60.0) : interval_s_(interval_s) {}

    // Counts one occurrence at now_s (a monotonic clock in seconds). When it
    // may be written, returns how many occurrences were held back since the
    // last one written; otherwise nothing.
    std::optional<uint64_t> allow(double now_s);
    // " (N more since the last message)" for N > 0, else "".
    static std::string held_note(uint64_t held);
    // Occurrences held back since the last one written.
    uint64_t held() const { return held_; }
    // Starts afresh: the next occurrence is written at once.
    void reset() {
        written_ = false;
        held_ = 0;
    }

   private:
    double interval_s_;
    bool written_ = false;
    double last_s_ = 0.0;
    uint64_t held_ = 0;
};

}  // namespace smdgw
