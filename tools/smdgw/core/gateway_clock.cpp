#include "tools/smdgw/core/gateway_clock.h"

#include <boost/date_time/posix_time/conversion.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace smdgw {

GatewayClock::GatewayClock(std::time_t start_unix, double scale)
    : start_unix_(start_unix),
      scale_(scale > 0.0 ? scale : 1.0),
      start_steady_(std::chrono::steady_clock::now()) {}

std::time_t GatewayClock::unix_time() const {
    if (follow_line_)
        return start_unix_ +
               static_cast<std::time_t>(line_seconds_.load(std::memory_order_relaxed));
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start_steady_;
    return start_unix_ + static_cast<std::time_t>(wall.count() * scale_);
}

double GatewayClock::monotonic_seconds() const {
    if (follow_line_) return static_cast<double>(line_seconds_.load(std::memory_order_relaxed));
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start_steady_;
    return wall.count() * scale_;
}

boost::posix_time::ptime GatewayClock::local_time() const {
    const std::time_t t = unix_time();
    std::tm tm{};
    if (!::localtime_r(&t, &tm)) return boost::posix_time::from_time_t(t);
    return boost::posix_time::ptime_from_tm(tm);
}

}  // namespace smdgw
