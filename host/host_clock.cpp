#include "host/host_clock.h"

#include <chrono>

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
