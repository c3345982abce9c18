#pragma once
// The monotonic clock in the two forms the services use: seconds as a
// number (retry schedules, log limits) and a duration from seconds (stop
// deadlines).

#include <chrono>

namespace smdgw {

inline double steady_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline std::chrono::steady_clock::duration steady_duration(double s) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(s));
}

}  // namespace smdgw
