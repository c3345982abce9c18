#include "tools/smdgw/history/history_columns.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "record/record_fields.h"

namespace smdgw {

namespace {

// The record's measured values: its float fields with a unit. User-defined
// value lists (no unit) are left to the JSON export.
bool is_column(const veltra::RecordField& f) {
    return f.type == veltra::FieldType::F32 && f.unit[0] != '\0';
}

// Columns stand for every place of the record, reported or not: the rows of
// an export share one header; a value beyond its count is an empty cell.
template <typename Fn>
void for_each_column(const unsigned char* record, Fn fn) {
    veltra::for_each_value(record, veltra::Sections::AsDumped, [&](const veltra::RecordValue& v) {
        if (is_column(*v.field)) fn(v);
    });
}

}  // namespace

std::string float_text(float v) {
    if (!std::isfinite(v)) return {};
    char buf[32];
    const auto out = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, out.ptr);
}

std::vector<std::string> analog_column_names() {
    const unsigned char none[kRecordSize] = {};
    std::vector<std::string> names;
    for_each_column(none,
                    [&](const veltra::RecordValue& v) { names.push_back(veltra::value_path(v)); });
    return names;
}

std::vector<std::string> analog_cells(const unsigned char* record) {
    std::vector<std::string> cells;
    for_each_column(record, [&](const veltra::RecordValue& v) {
        cells.push_back(v.valid ? float_text(load_le_f32(v.at)) : std::string());
    });
    return cells;
}

void analog_values(const unsigned char* record, std::vector<float>& out) {
    constexpr float kNone = std::numeric_limits<float>::quiet_NaN();
    out.clear();
    for_each_column(record, [&](const veltra::RecordValue& v) {
        const float f = v.valid ? load_le_f32(v.at) : kNone;
        out.push_back(std::isfinite(f) ? f : kNone);
    });
}

std::vector<std::string> analog_column_members() {
    std::vector<std::string> members;
    for (const std::string& name : analog_column_names())
        members.push_back(name.substr(0, name.find_first_of(".[")));
    return members;
}

}  // namespace smdgw
