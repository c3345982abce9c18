#pragma once
// Whole seconds from the last completed round to now, on the device's clock.

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <limits>

namespace veltra {

// A round time that was never set counts as infinitely old.
inline int64_t seconds_since_round(const boost::posix_time::ptime& now,
                                   const boost::posix_time::ptime& last_round) {
    if (now.is_special() || last_round.is_special()) return std::numeric_limits<int64_t>::max();
    return static_cast<int64_t>((now - last_round).total_seconds());
}

}  // namespace veltra
