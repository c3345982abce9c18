#include "tools/smdgw/output/record_samples.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace smdgw {

namespace {

using veltra::Group;
using veltra::RecordField;

// The record's own monitored values (out_v, the module count) come with the
// rectifier analog response.
constexpr SectionSpec kSystem{"veltra_system", nullptr, "rectifier system", smd::Section::Rectifiers};
constexpr SectionSpec kAc{"veltra_ac", nullptr, "AC distribution", smd::Section::Ac};
constexpr SectionSpec kAcInput{"veltra_ac_input", "input", "AC input", smd::Section::Ac};
constexpr SectionSpec kRectifier{"veltra_rectifier", "module", "rectifier module",
                                 smd::Section::Rectifiers};
constexpr SectionSpec kDc{"veltra_dc", "panel", "DC distribution panel", smd::Section::Dc};

const SectionSpec& section_of(Group g) {
    switch (g) {
        case Group::Ac:
            return kAc;
        case Group::AcInput:
            return kAcInput;
        case Group::Rectifier:
            return kRectifier;
        case Group::DcPanel:
            return kDc;
        case Group::Record:
        case Group::None:
            break;
    }
    return kSystem;
}

double read_value(const RecordField& f, const unsigned char* base) {
    const unsigned char* p = base + f.offset;
    switch (f.type) {
        case veltra::FieldType::U8:
            return *p;
        case veltra::FieldType::U32:
            return load_le_u32(p);
        case veltra::FieldType::F32:
            return load_le_f32(p);
        case veltra::FieldType::Time:
        case veltra::FieldType::Struct:
            break;
    }
    return NAN;
}

double reading(const RecordField& f, const unsigned char* base) {
    switch (f.metric->reading) {
        case veltra::Reading::Value:
            break;
        case veltra::Reading::Entries: {
            const RecordField* of = veltra::find_path(f.metric->of);
            return of ? std::min<double>(read_value(f, base), of->size) : NAN;
        }
        case veltra::Reading::NonZero:
            return static_cast<double>(veltra::nonzero_entries(f, base));
    }
    return read_value(f, base);
}

// The monitored fields of one struct, in member order.
void add_group(std::vector<Sample>& out, Group g, unsigned instance, const unsigned char* base) {
    const SectionSpec& s = section_of(g);
    const RecordField* const end = veltra::group_end(g);
    for (const RecordField* f = veltra::group_begin(g); f != end; ++f) {
        if (!f->metric) continue;
        const double v = reading(*f, base);
        if (std::isfinite(v)) out.push_back({&s, instance, f->metric, v});
    }
}

}  // namespace

std::vector<Sample> record_samples(const veltra_record_t& r, smd::SectionMask sections) {
    std::vector<Sample> out;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&r);
    const auto wanted = [&](Group g) { return (sections & smd::section_bit(section_of(g).plant)) != 0; };
    if (wanted(Group::Record)) add_group(out, Group::Record, 0, bytes);
    unsigned panels = 0;
    for (const RecordField* s = veltra::group_begin(Group::Record);
         s != veltra::group_end(Group::Record); ++s) {
        if (s->type != veltra::FieldType::Struct) continue;
        if (!wanted(s->element)) continue;
        const bool tagged = section_of(s->element).tag != nullptr;
        // The sections of one kind that stand side by side in the record
        // (dc, dc2) are numbered on: panel 1, panel 2.
        unsigned first = 0;
        if (s->element == Group::DcPanel) {
            if (panels > 0 && !veltra::has_second_panel(r)) continue;
            first = panels++;
        }
        const size_t n = veltra::reported_entries(*s, bytes);
        for (size_t k = 0; k < n; ++k)
            add_group(out, s->element, tagged ? first + static_cast<unsigned>(k) + 1 : 0,
                      bytes + s->offset + k * veltra::element_bytes(*s));
    }
    return out;
}

std::string shortest_text(double v) {
    char buf[64];
    const float f = static_cast<float>(v);
    const auto r = static_cast<double>(f) == v ? std::to_chars(buf, buf + sizeof buf, f)
                                               : std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

}  // namespace smdgw
