#pragma once
// Stored rounds as decoded records: CSV with one column per analog field, or
// one JSON object per line with the whole record.

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

}  // namespace smdgw
