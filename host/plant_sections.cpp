#include "host/plant_sections.h"

#include <cstring>

namespace smd {

const PlantSection& plant_section(Section s) {
    return kPlantSections[static_cast<size_t>(s) < kSectionCount ? static_cast<size_t>(s) : 0];
}

const char* pair_contents(uint16_t pair) {
    switch (pair) {
        case 0x4041:
        case 0x4042:
            return "AC analog values";
        case 0x4043:
            return "AC states";
        case 0x4044:
            return "AC alarms";
        case 0x4141:
        case 0x4142:
            return "rectifier analog values";
        case 0x4143:
            return "rectifier states";
        case 0x4144:
            return "rectifier alarms";
        case 0x4241:
        case 0x4242:
            return "DC analog values";
        case 0x4244:
            return "DC alarms";
        default:
            return nullptr;
    }
}

std::optional<Section> section_of_pair(uint8_t cid1, uint8_t cid2) {
    const uint16_t pair = static_cast<uint16_t>(cid1 << 8 | cid2);
    for (const PlantSection& p : kPlantSections)
        for (uint16_t q : p.pairs)
            if (q != 0 && q == pair) return p.section;
    return std::nullopt;
}

std::optional<Section> section_of_field(const char* path) {
    if (!path) return std::nullopt;
    for (const PlantSection& p : kPlantSections)
        for (const char* f : p.fields)
            if (f && std::strcmp(f, path) == 0) return p.section;
    return std::nullopt;
}

std::optional<Section> section_named(const char* name) {
    if (!name) return std::nullopt;
    for (const PlantSection& p : kPlantSections)
        if (std::strcmp(p.name, name) == 0) return p.section;
    return std::nullopt;
}

std::optional<Section> section_of_alarm(const char* alarm_id) {
    if (!alarm_id) return std::nullopt;
    for (const PlantSection& p : kPlantSections)
        if (std::strcmp(p.alarm_id, alarm_id) == 0) return p.section;
    return std::nullopt;
}

const char* freshness_name(Freshness f) {
    switch (f) {
        case Freshness::Fresh:
            return "fresh";
        case Freshness::Held:
            return "held";
        case Freshness::Missing:
            return "missing";
        case Freshness::Never:
            break;
    }
    return "never";
}

SectionMask fresh_sections(const SectionStates& s) {
    SectionMask m = kNoSection;
    for (Section sec : kSections)
        if (s[static_cast<size_t>(sec)] == Freshness::Fresh) m |= section_bit(sec);
    return m;
}

}  // namespace smd
