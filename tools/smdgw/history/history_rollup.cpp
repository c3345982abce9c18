#include "tools/smdgw/history/history_rollup.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "host/plant_sections.h"
#include "record/veltra_record.h"
#include "tools/smdgw/history/history_battery.h"
#include "tools/smdgw/history/history_columns.h"
#include "tools/smdgw/history/history_store.h"

namespace smdgw {

namespace {

void put_u32(std::vector<unsigned char>& out, uint32_t v) {
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<unsigned char>(v >> (8 * k)));
}

void put_f32(std::vector<unsigned char>& out, float f) {
    uint32_t v = 0;
    std::memcpy(&v, &f, sizeof v);
    put_u32(out, v);
}

uint32_t get_u32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

float get_f32(const unsigned char* p) {
    const uint32_t v = get_u32(p);
    float f = 0;
    std::memcpy(&f, &v, sizeof f);
    return f;
}

}  // namespace

std::optional<size_t> rollup_span_named(const std::string& name) {
    for (size_t k = 0; k < kRollupSpanCount; ++k)
        if (name == kRollupSpans[k].name) return k;
    return std::nullopt;
}

void ColumnStats::add(float v) {
    if (count == 0) {
        min = max = v;
    } else {
        min = std::min(min, v);
        max = std::max(max, v);
    }
    last = v;
    sum += v;
    ++count;
}

void ColumnStats::merge(const ColumnStats& later) {
    if (later.count == 0) return;
    if (count == 0) {
        *this = later;
        return;
    }
    min = std::min(min, later.min);
    max = std::max(max, later.max);
    last = later.last;
    sum += later.sum;
    count += later.count;
}

float ColumnStats::mean() const {
    return count == 0 ? std::nanf("") : static_cast<float>(sum / count);
}

void Rollup::merge(const Rollup& later) {
    rounds += later.rounds;
    if (columns.size() < later.columns.size()) columns.resize(later.columns.size());
    for (size_t k = 0; k < later.columns.size(); ++k) columns[k].merge(later.columns[k]);
}

int64_t span_start(int64_t t, int64_t seconds) {
    // Floor, also before 1970.
    const int64_t r = t % seconds;
    return r < 0 ? t - r - seconds : t - r;
}

std::vector<unsigned char> encode_columns(const std::vector<ColumnStats>& columns) {
    // The battery's columns of a device without one are left out: they
    // decode as counted nowhere, as in a file from before they were added.
    size_t n = columns.size();
    while (n > analog_column_count() && columns[n - 1].count == 0) --n;
    std::vector<unsigned char> out;
    out.reserve(n * kColumnStatsBytes);
    for (size_t k = 0; k < n; ++k) {
        const ColumnStats& c = columns[k];
        const float none = std::nanf("");
        put_f32(out, c.count ? c.min : none);
        put_f32(out, c.count ? c.max : none);
        put_f32(out, c.mean());
        put_f32(out, c.count ? c.last : none);
        put_u32(out, c.count);
    }
    return out;
}

bool decode_columns(const unsigned char* data, size_t size, std::vector<ColumnStats>& out) {
    out.clear();
    if (size % kColumnStatsBytes != 0) return false;
    out.resize(size / kColumnStatsBytes);
    for (size_t k = 0; k < out.size(); ++k) decode_column(data + k * kColumnStatsBytes, out[k]);
    return true;
}

void decode_column(const unsigned char* p, ColumnStats& c) {
    c = ColumnStats();
    c.count = get_u32(p + 16);
    if (c.count == 0) return;
    c.min = get_f32(p);
    c.max = get_f32(p + 4);
    c.sum = static_cast<double>(get_f32(p + 8)) * c.count;
    c.last = get_f32(p + 12);
}

namespace {

// The plant section whose responses fill each column, in column order; none
// for a column outside every section.
const std::vector<std::optional<smd::Section>>& column_sections() {
    static const std::vector<std::optional<smd::Section>> table = [] {
        std::vector<std::optional<smd::Section>> out;
        for (const std::string& member : analog_column_members())
            out.push_back(smd::section_of_field(member.c_str()));
        // The estimate moves only with rounds that refreshed the DC panels.
        out.resize(out.size() + battery_column_names().size(), smd::Section::Dc);
        return out;
    }();
    return table;
}

}  // namespace

bool column_refreshed(const StoredRecord& r, size_t column) {
    const auto& sections = column_sections();
    if (column < sections.size() && sections[column])
        return r.fresh[static_cast<size_t>(*sections[column])];
    // Outside every section: the round as a whole.
    return r.complete;
}

RollupAccumulator::RollupAccumulator(size_t span) : span_(span) {}

void RollupAccumulator::add(const StoredRecord& r, const std::vector<float>& values,
                            std::vector<Rollup>& closed) {
    if (r.bytes.size() != kRecordSize) return;
    const int64_t start = span_start(r.time, kRollupSpans[span_].seconds);
    auto it = open_.find(r.device);
    if (it != open_.end() && it->second.start != start) {
        closed.push_back(std::move(it->second));
        open_.erase(it);
        it = open_.end();
    }
    if (it == open_.end()) {
        Rollup fresh;
        fresh.device = r.device;
        fresh.span = span_;
        fresh.start = start;
        it = open_.emplace(r.device, std::move(fresh)).first;
    }
    Rollup& u = it->second;
    if (u.columns.size() < values.size()) u.columns.resize(values.size());
    ++u.rounds;
    for (size_t k = 0; k < values.size(); ++k)
        if (!std::isnan(values[k]) && column_refreshed(r, k)) u.columns[k].add(values[k]);
}

void RollupAccumulator::close_all(std::vector<Rollup>& closed) {
    for (auto& kv : open_) closed.push_back(std::move(kv.second));
    open_.clear();
}

const Rollup* RollupAccumulator::open(const std::string& device) const {
    const auto it = open_.find(device);
    return it == open_.end() ? nullptr : &it->second;
}

}  // namespace smdgw
