#include "host/ttime.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>

ttime get_ttime(const boost::posix_time::ptime& t) {
    ttime out{};
    if (t.is_special()) return out;
    const auto d = t.date();
    const auto tod = t.time_of_day();
    out.year = static_cast<uint16_t>(d.year());
    out.month = static_cast<uint8_t>(d.month().as_number());
    out.day = static_cast<uint8_t>(d.day());
    out.hour = static_cast<uint8_t>(tod.hours());
    out.minute = static_cast<uint8_t>(tod.minutes());
    out.second = static_cast<uint8_t>(tod.seconds());
    return out;
}
