#include "tools/smdgw/history/history_columns.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "record/record_fields.h"
#include "tools/smdgw/history/history_battery.h"
#include "tools/smdgw/history/history_store.h"

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

// Offsets in the record of every count that bounds an array, its own or an
// element's: which places hold values depends on these bytes alone.
std::vector<size_t> count_offsets() {
    using veltra::Group;
    std::vector<size_t> out;
    auto counts_of = [&](Group g, size_t base) {
        for (const veltra::RecordField* f = veltra::group_begin(g); f != veltra::group_end(g); ++f)
            if (f->count)
                if (const veltra::RecordField* c = veltra::find_field(g, f->count))
                    out.push_back(base + c->offset);
    };
    counts_of(Group::Record, 0);
    const veltra::RecordField* const end = veltra::group_end(Group::Record);
    for (const veltra::RecordField* s = veltra::group_begin(Group::Record); s != end; ++s)
        if (s->type == veltra::FieldType::Struct)
            for (size_t k = 0; k < s->size; ++k)
                counts_of(s->element, s->offset + k * veltra::element_bytes(*s));
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

// Where each column's float lies and whether it holds a value, for records
// with the same counts as the last one seen: walking the field table takes
// several times longer than reading sixty floats, and the counts of a plant
// hardly ever change.
struct ColumnPlan {
    std::vector<unsigned char> counts;  // the bytes at count_offsets()
    std::vector<size_t> offsets;
    std::vector<char> valid;
    bool built = false;
};

const ColumnPlan& plan_for(const unsigned char* record) {
    static const std::vector<size_t> at = count_offsets();
    thread_local ColumnPlan plan;
    bool same = plan.built;
    for (size_t k = 0; same && k < at.size(); ++k) same = plan.counts[k] == record[at[k]];
    if (!same) {
        plan.counts.clear();
        for (size_t offset : at) plan.counts.push_back(record[offset]);
        plan.offsets.clear();
        plan.valid.clear();
        for_each_column(record, [&](const veltra::RecordValue& v) {
            plan.offsets.push_back(static_cast<size_t>(v.at - record));
            plan.valid.push_back(v.valid ? 1 : 0);
        });
        plan.built = true;
    }
    return plan;
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
    const ColumnPlan& plan = plan_for(record);
    out.resize(plan.offsets.size());
    for (size_t k = 0; k < out.size(); ++k) {
        const float f = plan.valid[k] ? load_le_f32(record + plan.offsets[k]) : kNone;
        out[k] = std::isfinite(f) ? f : kNone;
    }
}

std::vector<std::string> history_column_names() {
    std::vector<std::string> names = analog_column_names();
    for (const std::string& b : battery_column_names()) names.push_back(b);
    return names;
}

size_t analog_column_count() {
    static const size_t n = analog_column_names().size();
    return n;
}

void history_values(const StoredRecord& r, std::vector<float>& out) {
    constexpr float kNone = std::numeric_limits<float>::quiet_NaN();
    if (r.bytes.size() == kRecordSize) analog_values(r.bytes.data(), out);
    else out.assign(analog_column_count(), kNone);
    for (double v : battery_values(r.battery))
        out.push_back(std::isfinite(v) ? static_cast<float>(v) : kNone);
}

std::vector<std::string> analog_column_members() {
    std::vector<std::string> members;
    for (const std::string& name : analog_column_names())
        members.push_back(name.substr(0, name.find_first_of(".[")));
    return members;
}

}  // namespace smdgw
