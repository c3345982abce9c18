#pragma once
// GET /api/v1/devices/{name}/history: stored rounds of a device for a chart.
//   ?since=2026-03-01T10:00:00+01:00&until=1772359200&fields=dc.v,dc.i,complete&complete=1
// since and until: ISO 8601 (with 'Z', an offset, or none for local time) or
// Unix seconds, both inclusive; fields: analog record fields as the history
// export names them, the battery's ("battery.state", "battery.charge",
// "battery.runtime_s", "battery.learned_capacity_ah": null for a device
// without a battery), and "complete" (1 or 0); complete=1: complete rounds
// only. A field of a section the round did not refresh is null, never the
// zero a lost response leaves. A field named twice counts once; at most
// kMaxHistoryFields of them. At most kMaxHistoryRows rows, the newest, oldest
// first; when older rows remain, "next" is the until that asks for them:
//   {"fields":["dc.v","dc.i","complete"],"next":1772355598,"rows":[[1772355600,53.5,120.2,1],...]}

#include <json/value.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/smdgw/http/http_limits.h"

namespace smdgw::http {

constexpr size_t kMaxHistoryRows = 10000;
// Distinct fields one query may ask for (a field named again counts once).
constexpr size_t kMaxHistoryFields = 16;

struct HistoryQuery {
    std::string device;
    std::optional<int64_t> since, until;
    std::vector<std::string> fields;
    bool complete_only = false;
    std::string resolution = "raw";  // raw, 1m, 1h or auto
    // Still reading then: cancelled (at most the query deadline from the start).
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};

// The deadline a read of the history keeps: the query's, and never more
// than the query deadline (--http-query-deadline-s, default kQueryDeadlineS)
// from now.
std::chrono::steady_clock::time_point query_deadline(std::chrono::steady_clock::time_point asked);
void set_query_deadline_s(int seconds);

// The field "complete" in fields: the round's flag rather than a record value.
constexpr const char* kCompleteField = "complete";

// Parses the query parameters; false with the reason naming the parameter.
bool parse_history_query(const std::string& since, const std::string& until,
                         const std::string& fields, HistoryQuery& q, std::string& error);

// The parameter complete: "1" or "true" for complete rounds only, "0",
// "false" or "" for every round; false with the reason otherwise.
bool parse_history_complete(const std::string& complete, HistoryQuery& q, std::string& error);

// "1772355600", "2026-03-01T10:00:00Z", "2026-03-01T11:00:00+01:00",
// "2026-03-01 10:00" (local); false for anything else.
bool parse_api_time(const std::string& text, int64_t& seconds);

// Reads the rows from the history file (opened read-only for the call), as
// JSON text written row by row. Throws smdgw::HistoryError when the file
// cannot be read, with the code SQLITE_INTERRUPT past the query's deadline.
std::string run_history_text(const std::string& path, const HistoryQuery& q);
// The same as a tree (for short spans: the page's chart).
Json::Value run_history_query(const std::string& path, const HistoryQuery& q);

// ["dc.v","dc.i"]: the answer's "fields", appended to out.
void field_names_json(std::string& out, const std::vector<std::string>& fields);

// Rounds the history queries have read since the start (however many of
// them were answered): the measure of what queries cost.
uint64_t history_rows_read();

}  // namespace smdgw::http
