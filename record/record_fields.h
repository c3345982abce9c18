#pragma once
// Every field of the packed record, described once: its dump path, offset,
// type, size, the count field that bounds it (arrays), unit and meaning. The
// JSON rendering, the history columns, the monitoring samples and the text
// view are built from this table; the record dump keeps its own fixed format.
//
// One entry, annotated:
//   {Group::DcPanel, "dc.dc_i", 13, FieldType::F32, 2, "m", Group::None, "A", "branch currents"}
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

}  // namespace veltra
