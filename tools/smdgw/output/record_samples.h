#pragma once
// A published record as a flat list of numbers for monitoring outputs: one
// sample per value, grouped by section and instance (AC input, module, panel).

#include <string>
#include <vector>

#include "host/plant_sections.h"
#include "record/record_fields.h"
#include "record/veltra_record.h"

namespace smdgw {

// A part of the plant; sections with instances name them by a tag.
struct SectionSpec {
    const char* name;  // measurement / metric prefix, e.g. "veltra_dc"
    const char* tag;   // instance tag ("panel"), or nullptr for a single section
    const char* what;  // words for help texts
    smd::Section plant;  // the section of the plant whose round refreshes it
};

// A field's sample names: record/record_fields.cpp gives them per field.
using FieldSpec = veltra::RecordMetric;

struct Sample {
    const SectionSpec* section;
    unsigned instance;  // 1-based; 0 for sections without instances
    const FieldSpec* field;
    double value;
};

// Every monitored field of the record in section order, of the plant's
// sections in `sections` only. Instances are those the plant reported
// (veltra::reported_entries); a second DC panel is there when
// veltra::has_second_panel says so. Values that are not finite are left out.
std::vector<Sample> record_samples(const veltra_record_t& rec,
                                   smd::SectionMask sections = smd::kAllSections);

// The shortest text that reads back as v; values that came from a float are
// written with a float's digits ("0.1", not "0.10000000149011612").
std::string shortest_text(double v);

}  // namespace smdgw
