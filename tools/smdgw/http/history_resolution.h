#pragma once
// The history at a resolution, for charts of any range:
//   resolution=raw   every stored round (history_query.h)
//   resolution=1m    the roll-ups per minute, resolution=1h per hour
//   resolution=auto  the finest that gives at most kAutoPoints points for
//                    the range; beyond the hours, hours grouped together
// A roll-up row holds each field's mean; "min" and "max" hold, row for row,
// the fields' lowest and highest value over the same span:
//   {"fields":["dc.v"],"resolution":"1h","rows":[[1772355600,53.51]],
//    "min":[[1772355600,53.4]],"max":[[1772355600,53.6]]}
// Raw rounds have no "min" and "max".
//
// The alarm log: GET /api/v1/alarms/log?since=&until=&device=
//   {"changes":[{"time":...,"unix_time":...,"device":"plant1","change":"raised",...}]}
// at most kMaxHistoryRows changes, the newest, oldest first.

#include <json/value.h>

#include <optional>
#include <string>

#include "tools/smdgw/http/history_query.h"

namespace smdgw::http {

constexpr size_t kAutoPoints = 2000;

// False with the reason when the resolution is none of raw, 1m, 1h, auto.
bool parse_history_resolution(const std::string& text, HistoryQuery& q, std::string& error);

// Reads the rows at the query's resolution (the file opened read-only for the
// call), as JSON text. Throws smdgw::HistoryError when the file cannot be read.
std::string run_history_resolution(const std::string& path, const HistoryQuery& q);

struct AlarmLogQuery {
    std::optional<std::string> device;
    std::optional<int64_t> since, until;
    size_t newest = kMaxHistoryRows;  // at most this many, the newest
    // Still reading then: cancelled (SQLITE_INTERRUPT), as for the history.
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};
Json::Value run_alarm_log_query(const std::string& path, const AlarmLogQuery& q);

}  // namespace smdgw::http
