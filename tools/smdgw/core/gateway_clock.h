#pragma once
// smdgw's host clock when it is not simply the system clock: --time-scale runs
// it faster, --clock-start sets where it starts. A replay with a fixed start
// follows the line instead of the wall: its time is the start plus the line
// time (9600 baud) of the bytes replayed so far, so the same capture gives the
// same times on every run and every machine.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>

#include "host/host_clock.h"

namespace smdgw {

class GatewayClock : public HostClock {
   public:
    // Starts at start_unix (seconds since the epoch) and runs `scale` times
    // faster than the steady clock from the moment it is made.
    GatewayClock(std::time_t start_unix, double scale);

    boost::posix_time::ptime local_time() const override;
    std::time_t unix_time() const override;
    // Scaled like the rest; a replay following the line measures line time.
    double monotonic_seconds() const override;

    // From now on the clock stands at start + line_seconds, moved only by
    // set_line_seconds (a replay).
    void follow_line() { follow_line_ = true; }
    void set_line_seconds(double seconds) {
        line_seconds_.store(static_cast<int64_t>(seconds), std::memory_order_relaxed);
    }
    bool follows_line() const { return follow_line_; }

   private:
    std::time_t start_unix_;
    double scale_;
    std::chrono::steady_clock::time_point start_steady_;
    bool follow_line_ = false;
    std::atomic<int64_t> line_seconds_{0};
};

}  // namespace smdgw
