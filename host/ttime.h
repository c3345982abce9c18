#pragma once
// Calendar time as the host stores it in records: seven packed bytes.

#include <boost/date_time/posix_time/ptime.hpp>
#include <cstdint>

#pragma pack(push, 1)
struct ttime {
    uint16_t year;
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
};
#pragma pack(pop)

static_assert(sizeof(ttime) == 7, "ttime is stored as 7 packed bytes");

// Converts a local time to the record's calendar form. A not-a-date-time
// value gives all zero fields.
ttime get_ttime(const boost::posix_time::ptime& t);
