#pragma once
// Stored rounds as decoded records: CSV with one column per analog field, or
// one JSON object per line with the whole record.

#include <json/value.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "tools/smdgw/history/history_store.h"

namespace smdgw {

enum class ExportFormat { Csv, Json };

// Writes the rows the filter selects; returns how many. The CSV header is
// written even when no row matches.
int64_t export_history(HistoryStore& store, const HistoryFilter& filter, ExportFormat format,
                       std::ostream& out);

// Roll-ups of a span (kRollupSpans): CSV with device, resolution, time,
// unix_time (the span's start), rounds, then per analog field its .min,
// .max, .mean, .last and .count; or one JSON object per line whose "values"
// hold the fields some round refreshed. Returns how many.
int64_t export_rollups(HistoryStore& store, size_t span, const HistoryFilter& filter,
                       ExportFormat format, std::ostream& out);

// The alarm log: time, unix_time, device, change, alarm_id, key, seq, level,
// value, message, reason; CSV or one JSON object per line (which also holds
// the message's English meaning, "english"). Returns how many.
int64_t export_alarm_log(HistoryStore& store, const HistoryFilter& filter, ExportFormat format,
                         std::ostream& out);
// One alarm change as the JSON export and the HTTP alarm log give it, with
// the message's English meaning ("english") beside it.
Json::Value alarm_change_json(const AlarmLogEntry& e);

}  // namespace smdgw
