#pragma once
// Every field of the packed record, described once: its dump path, offset,
// type, size, the count field that bounds it (arrays), unit and meaning. The
// JSON rendering, the history columns, the monitoring samples and the text
// view are built from this table; the record dump keeps its own fixed format.
//
// One entry, annotated:
//   {Group::DcPanel, "dc.dc_i", 13, FieldType::F32, 2, "m", Group::None, "A", "battery string currents (+ charging, - discharging)"}
//    struct it is in  dump path  offset in that struct  type  elements  bounded by dc.m
// so dc.dc_i[k] holds a value for k < min(dc.m, 2). Fields of a DC panel are
// written with "dc." and stand for dc2 alike; a rectifier's path starts
// "channels[j].", an AC input's "ac_channels[i].".

#include <cstddef>
#include <cstdint>
#include <string>

#include "record/veltra_record.h"

namespace veltra {

// The structs of the record.
enum class Group : uint8_t { Record, Ac, AcInput, Rectifier, DcPanel, None };

enum class FieldType : uint8_t {
    U8,
    U32,
    F32,
    Time,    // ttime: year (16 bits), month, day, hour, minute, second
    Struct,  // elements of another group
};

// How a monitored field becomes one number.
enum class Reading : uint8_t {
    Value,    // the field's value
    Entries,  // a count: the entries of the array `of` it reports, at most its length
    NonZero,  // an array of codes: its entries within its count that are not 0
};

// A field as a monitoring sample: the Influx field, the Prometheus name after
// the section's prefix (unit last) and its help text, and for a per-phase
// value its phase, a label so that one metric holds all three.
struct RecordMetric {
    const char* field;
    const char* metric;
    const char* help;
    const char* phase;
    Reading reading;
    const char* of;  // Reading::Entries: dump path of the array counted
};

struct RecordField {
    Group group;
    const char* path;
    uint16_t offset;
    FieldType type;
    uint16_t size;      // elements: 1 for a scalar, the array length otherwise (may be 0)
    const char* count;  // the member of the same struct bounding the array, or nullptr
    Group element;      // FieldType::Struct: the group of each element
    const char* unit;   // "V", "A", "Hz" or "" (codes, counts, states)
    const char* what;
    const RecordMetric* metric = nullptr;  // its monitoring sample, if it has one
};

// Whether a field is an array: a length other than 1, or a count bounding it.
constexpr bool is_array(const RecordField& f) { return f.size != 1 || f.count != nullptr; }

// The table, in each struct's member order.
const RecordField* record_fields_begin();
const RecordField* record_fields_end();

// The member name: the dump path after its last '.'.
const char* field_name(const RecordField& f);
// Bytes of one element: 1, 4 or 7, or the size of the element struct.
size_t element_bytes(const RecordField& f);
// Bytes of the struct of a group.
size_t group_bytes(Group g);
// The field of a group by member name, or nullptr.
const RecordField* find_field(Group g, const char* name);
// Entries of an array field that hold values at base (the start of its
// struct): its count bounded by its length, or its length without a count.
size_t valid_entries(const RecordField& f, const unsigned char* base);

// The fields of a group, in member order.
const RecordField* group_begin(Group g);
const RecordField* group_end(Group g);
// A field by dump path ("dc.alert_m", "channels"), or nullptr.
const RecordField* find_path(const char* path);

// Elements of a section of the record (`ac_channels`, `channels`, `dc` ...)
// that the plant reported: modules up to channel_count, AC inputs up to
// ac.channel_count, each at most the record's length. The record dump and its
// JSON keep both AC inputs; the monitoring outputs and the data snapshot show
// the reported ones.
size_t reported_entries(const RecordField& section, const unsigned char* record);
unsigned reported_ac_inputs(const veltra_record_t& r);
unsigned reported_modules(const veltra_record_t& r);

// Entries of an array field within its count that are not 0, at base (the
// start of its struct).
size_t nonzero_entries(const RecordField& f, const unsigned char* base);

// One value of the record, as walked by for_each_value.
struct RecordValue {
    const RecordField* section;  // the record's struct holding it, nullptr for the record's own
    size_t instance;             // element of an array section, from 0
    const RecordField* field;
    size_t index;             // entry of an array field, from 0
    const unsigned char* at;  // its bytes
    bool valid;               // within every count on its way
};

// Its dump path with indices: "out_v", "ac_channels[1].f", "dc2.dc_i[0]".
std::string value_path(const RecordValue& v);

// Which elements of a section count as valid: the record dump's (both AC
// inputs always) or those the plant reported (reported_entries).
enum class Sections : uint8_t { AsDumped, AsReported };

// Calls fn(const RecordValue&) for every element of every field that is not a
// struct, in the order outputs list them: the record's own values, then each
// section in member order, element after element. Entries beyond a count come
// too, marked not valid.
template <class Fn>
void for_each_value(const unsigned char* record, Sections sections, Fn&& fn);

// Whether the second DC panel is present: it reports a voltage or fuses.
// A plant with one panel leaves the dc2 fields zero. Every output decides
// panel 2 by this one rule.
bool has_second_panel(const veltra_record_t& r);
// Load fuses of a panel that report a blown state, and how many it reports.
unsigned blown_fuses(const veltra_dc_t& panel);
unsigned reported_fuses(const veltra_dc_t& panel);

// The record as JSON text (members in key order, arrays cut to their
// counts, floats in their shortest form with seven significant digits, NaN
// and infinities as null); "null" unless exactly one record's bytes.
void record_json_text(std::string& out, const unsigned char* data, size_t length);

namespace detail {
template <class Fn>
void each_field_value(const RecordField* section, size_t instance, bool valid,
                      const unsigned char* base, Group g, Fn& fn) {
    const RecordField* const end = group_end(g);
    for (const RecordField* f = group_begin(g); f != end; ++f) {
        if (f->type == FieldType::Struct) continue;
        if (!is_array(*f)) {
            fn(RecordValue{section, instance, f, 0, base + f->offset, valid});
            continue;
        }
        const size_t n = valid_entries(*f, base);
        for (size_t k = 0; k < f->size; ++k)
            fn(RecordValue{section, instance, f, k, base + f->offset + k * element_bytes(*f),
                           valid && k < n});
    }
}
}  // namespace detail

template <class Fn>
void for_each_value(const unsigned char* record, Sections sections, Fn&& fn) {
    detail::each_field_value(nullptr, 0, true, record, Group::Record, fn);
    const RecordField* const end = group_end(Group::Record);
    for (const RecordField* s = group_begin(Group::Record); s != end; ++s) {
        if (s->type != FieldType::Struct) continue;
        const size_t reported = sections == Sections::AsReported ? reported_entries(*s, record)
                                                                 : valid_entries(*s, record);
        for (size_t k = 0; k < s->size; ++k)
            detail::each_field_value(s, k, k < reported, record + s->offset + k * element_bytes(*s),
                                     s->element, fn);
    }
}

}  // namespace veltra
