#include "host/host_clock.h"

#include <boost/date_time/posix_time/conversion.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

boost::posix_time::ptime HostClock::local_time() const {
    return boost::posix_time::second_clock::local_time();
}

std::time_t HostClock::unix_time() const { return std::time(nullptr); }

double HostClock::monotonic_seconds() const {
    const std::chrono::duration<double> t = std::chrono::steady_clock::now().time_since_epoch();
    return t.count();
}

const HostClock& system_host_clock() {
    static const HostClock clock;
    return clock;
}

ManualClock::ManualClock(boost::posix_time::ptime start) : now_(start) {}

std::time_t ManualClock::unix_time() const { return boost::posix_time::to_time_t(now_); }

ScaledClock::ScaledClock(double scale)
    : scale_(scale > 0.0 ? scale : 1.0),
      start_local_(boost::posix_time::second_clock::local_time()),
      start_unix_(std::time(nullptr)),
      start_steady_(std::chrono::steady_clock::now()) {}

namespace {

long scaled_seconds(std::chrono::steady_clock::time_point start, double scale) {
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    return static_cast<long>(wall.count() * scale);
}

}  // namespace

boost::posix_time::ptime ScaledClock::local_time() const {
    return start_local_ + boost::posix_time::seconds(scaled_seconds(start_steady_, scale_));
}

std::time_t ScaledClock::unix_time() const {
    return start_unix_ + scaled_seconds(start_steady_, scale_);
}

double ScaledClock::monotonic_seconds() const {
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start_steady_;
    return wall.count() * scale_;
}
