#pragma once
// A published record as a flat list of numbers for monitoring outputs: one
// sample per value, grouped by section and instance (AC input, module, panel).

#include <string>
#include <vector>

#include "record/veltra_record.h"

namespace smdgw {

// A part of the plant; sections with instances name them by a tag.
struct SectionSpec {
    const char* name;  // measurement / metric prefix, e.g. "veltra_dc"
    const char* tag;   // instance tag ("panel"), or nullptr for a single section
    const char* what;  // words for help texts
};

struct FieldSpec {
    const char* field;   // Influx field name
    const char* metric;  // Prometheus name after the section prefix, unit last
    const char* help;
    // The phase ("a", "b", "c") of a per-phase value: a label in Prometheus,
    // so one metric holds all three phases.
    const char* phase = nullptr;
};

struct Sample {
    const SectionSpec* section;
    unsigned instance;  // 1-based; 0 for sections without instances
    const FieldSpec* field;
    double value;
};

// Every value of the record in section order. Instances follow the record's
// counts (bounded by the arrays); a second DC panel that reports nothing is
// left out. Values that are not finite are left out as well.
std::vector<Sample> record_samples(const veltra_record_t& rec);

// The shortest text that reads back as v; values that came from a float are
// written with a float's digits ("0.1", not "0.10000000149011612").
std::string shortest_text(double v);

}  // namespace smdgw
