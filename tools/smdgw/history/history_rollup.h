#pragma once
// Roll-ups of the stored rounds: per device and minute, and per device and
// hour, every history column's minimum, maximum, mean and last value, with
// the count of rounds that refreshed it. They are summed up in memory as the
// rounds come and written when their minute or hour closes, so a year of
// trend costs a few hours' worth of raw rounds and is read without touching
// the rounds at all.
//
// One roll-up, annotated:
//   {device "plant1", span 1m, start 1772355600 (12:00:00), rounds 11,
//    columns[k] of "dc.v": min 53.4, max 53.6, mean 53.51, last 53.5, count 11}
//   eleven rounds were stored from 12:00:00 to 12:00:59; all of them
//   refreshed the DC panel. A column no round refreshed has count 0.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace smdgw {

struct StoredRecord;

// A resolution of the roll-ups, as the options and queries name it.
struct RollupSpan {
    const char* name;   // "1m", "1h"
    int64_t seconds;    // length of one roll-up
    const char* table;  // where they are stored
};
inline constexpr RollupSpan kRollupSpans[] = {
    {"1m", 60, "rollup_1m"},
    {"1h", 3600, "rollup_1h"},
};
inline constexpr size_t kRollupSpanCount = sizeof kRollupSpans / sizeof kRollupSpans[0];

// The span named "1m" or "1h", if any.
std::optional<size_t> rollup_span_named(const std::string& name);

// One column's figures over a minute or an hour.
struct ColumnStats {
    float min = 0, max = 0, last = 0;
    double sum = 0;  // of the values counted; the mean is sum / count
    uint32_t count = 0;

    void add(float v);
    // Folds in the figures of a later span.
    void merge(const ColumnStats& later);
    // NaN when nothing was counted.
    float mean() const;
};

struct Rollup {
    std::string device;
    size_t span = 0;  // index into kRollupSpans
    int64_t start = 0;
    uint32_t rounds = 0;  // rounds stored in the span, refreshed or not
    std::vector<ColumnStats> columns;

    // Folds in a later span (clock gone back, or groups for a chart).
    void merge(const Rollup& later);
};

// The first second of the span holding t.
int64_t span_start(int64_t t, int64_t seconds);

// The stored form of the columns: per column min, max, mean and last as
// little-endian float32, then the count as uint32 (20 bytes), in the order
// of history_column_names(); trailing battery columns that counted nothing
// are left out. A shorter blob (an older file, a device without a battery)
// decodes to as many columns; what a column lacks has count 0.
std::vector<unsigned char> encode_columns(const std::vector<ColumnStats>& columns);
bool decode_columns(const unsigned char* data, size_t size, std::vector<ColumnStats>& out);
// One column's 20 bytes.
void decode_column(const unsigned char* p, ColumnStats& c);
constexpr size_t kColumnStatsBytes = 20;

// Whether the round refreshed this column's value: only refreshed values
// count in a roll-up (a round whose section went unanswered holds zeros or
// an earlier round's values there).
bool column_refreshed(const StoredRecord& r, size_t column);

// The open roll-up of each device at one span. add() counts a round into
// the roll-up of its device and span start; when a round belongs to another
// span start, the open roll-up is closed (handed out) first.
class RollupAccumulator {
   public:
    explicit RollupAccumulator(size_t span);

    // values: the round's history_values(), computed once for every span.
    void add(const StoredRecord& r, const std::vector<float>& values, std::vector<Rollup>& closed);
    // Hands out every open roll-up (end of a rebuild that must be written).
    void close_all(std::vector<Rollup>& closed);
    // The open roll-up of a device, if any.
    const Rollup* open(const std::string& device) const;
    size_t span() const { return span_; }

   private:
    size_t span_;
    std::map<std::string, Rollup> open_;
};

}  // namespace smdgw
