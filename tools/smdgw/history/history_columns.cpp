#include "tools/smdgw/history/history_columns.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "record/veltra_record.h"

namespace smdgw {

namespace {

constexpr size_t kNoCount = SIZE_MAX;

// A float field, or `repeat` of them `stride` bytes apart; '#' in the name
// stands for the index. Entries at or beyond the byte at count_offset (when
// given) are not valid.
struct AnalogColumn {
    const char* name;
    size_t offset;
    size_t repeat;
    size_t stride;
    size_t count_offset;
};

using R = veltra_record_t;
constexpr size_t kAc = offsetof(R, ac);
constexpr size_t kAcCh = offsetof(R, ac_channels);
constexpr size_t kRc = offsetof(R, channels);
constexpr size_t kDc = offsetof(R, dc);
constexpr size_t kDc2 = offsetof(R, dc2);
constexpr size_t kAcChSize = sizeof(veltra_ac_channel_t);
constexpr size_t kRcSize = sizeof(veltra_rc_channel_t);
constexpr size_t kM = veltra_dc_t::M_SIZE();

// The record's named analog values; user-defined value lists are left to the
// JSON export.
constexpr AnalogColumn kAnalogColumns[] = {
    {"out_v", offsetof(R, out_v), 1, 0, kNoCount},
    {"ac.ia", kAc + offsetof(veltra_ac_t, ia), 1, 0, kNoCount},
    {"ac.ib", kAc + offsetof(veltra_ac_t, ib), 1, 0, kNoCount},
    {"ac.ic", kAc + offsetof(veltra_ac_t, ic), 1, 0, kNoCount},
    {"ac_channels[#].a", kAcCh + offsetof(veltra_ac_channel_t, a), kAcChannels, kAcChSize,
     kNoCount},
    {"ac_channels[#].b", kAcCh + offsetof(veltra_ac_channel_t, b), kAcChannels, kAcChSize,
     kNoCount},
    {"ac_channels[#].c", kAcCh + offsetof(veltra_ac_channel_t, c), kAcChannels, kAcChSize,
     kNoCount},
    {"ac_channels[#].f", kAcCh + offsetof(veltra_ac_channel_t, f), kAcChannels, kAcChSize,
     kNoCount},
    {"channels[#].out_i", kRc + offsetof(veltra_rc_channel_t, out_i), kRcChannels, kRcSize,
     offsetof(R, channel_count)},
    {"dc.v", kDc + offsetof(veltra_dc_t, v), 1, 0, kNoCount},
    {"dc.i", kDc + offsetof(veltra_dc_t, i), 1, 0, kNoCount},
    {"dc.dc_i[#]", kDc + offsetof(veltra_dc_t, dc_i), kM, sizeof(float),
     kDc + offsetof(veltra_dc_t, m)},
    {"dc2.v", kDc2 + offsetof(veltra_dc_t, v), 1, 0, kNoCount},
    {"dc2.i", kDc2 + offsetof(veltra_dc_t, i), 1, 0, kNoCount},
    {"dc2.dc_i[#]", kDc2 + offsetof(veltra_dc_t, dc_i), kM, sizeof(float),
     kDc2 + offsetof(veltra_dc_t, m)},
};

constexpr bool columns_inside_record() {
    for (const AnalogColumn& c : kAnalogColumns) {
        if (c.repeat == 0 || c.offset + (c.repeat - 1) * c.stride + sizeof(float) > kRecordSize) {
            return false;
        }
        if (c.count_offset != kNoCount && c.count_offset >= kRecordSize) return false;
    }
    return true;
}
static_assert(columns_inside_record(), "every analog column lies inside the record");

// Entries of the same array: their fields stand side by side per element.
bool same_array(const AnalogColumn& a, const AnalogColumn& b) {
    if (a.repeat < 2 || a.repeat != b.repeat || a.stride != b.stride ||
        a.count_offset != b.count_offset) {
        return false;
    }
    const char* ha = std::strchr(a.name, '#');
    const char* hb = std::strchr(b.name, '#');
    return ha && hb && ha - a.name == hb - b.name &&
           std::strncmp(a.name, b.name, static_cast<size_t>(ha - a.name)) == 0;
}

// Calls fn(column, index) in column order: ac_channels[0].a .. [0].f, then
// ac_channels[1].a .. [1].f.
template <typename Fn>
void for_each_column(Fn fn) {
    const size_t n = sizeof kAnalogColumns / sizeof kAnalogColumns[0];
    for (size_t i = 0; i < n;) {
        size_t j = i + 1;
        while (j < n && same_array(kAnalogColumns[i], kAnalogColumns[j])) ++j;
        for (size_t k = 0; k < kAnalogColumns[i].repeat; ++k) {
            for (size_t c = i; c < j; ++c) fn(kAnalogColumns[c], k);
        }
        i = j;
    }
}

std::string column_name(const AnalogColumn& c, size_t index) {
    std::string name(c.name);
    if (c.repeat == 1) return name;
    const size_t at = name.find('#');
    return at == std::string::npos ? name : name.replace(at, 1, std::to_string(index));
}

std::string float_cell(float v) {
    if (!std::isfinite(v)) return {};
    char buf[32];
    const auto out = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, out.ptr);
}

}  // namespace

std::vector<std::string> analog_column_names() {
    std::vector<std::string> names;
    for_each_column([&](const AnalogColumn& c, size_t k) { names.push_back(column_name(c, k)); });
    return names;
}

std::vector<std::string> analog_cells(const unsigned char* record) {
    std::vector<std::string> cells;
    for_each_column([&](const AnalogColumn& c, size_t k) {
        const size_t valid = c.count_offset == kNoCount ? c.repeat : record[c.count_offset];
        cells.push_back(k < valid ? float_cell(load_le_f32(record + c.offset + k * c.stride))
                                  : std::string());
    });
    return cells;
}

}  // namespace smdgw
