#pragma once
// The plant's sections as the host judges them: the AC distribution, the
// rectifier modules and the DC panels. Each is filled by the responses to a
// few command pairs (CID1/CID2) and fills a few members of the record; what
// people see of a section comes only from rounds that brought every pair of
// it intact.
//
// One row, annotated:
//   {Section::Dc, "dc", "DC panels", {0x4241, 0x4242, 0x4244}, {0x4244, 0x4241},
//    {"dc", "dc2"}, "smdgw-section-dc", "no data from the DC panel"}
//   filled by the responses to 42/41, 42/42 and 42/44, of which the listening
//   driver decodes 42/44 and 42/41; fills the record's members dc and dc2
//   (record/record_fields.h paths); the host's own alarm while the plant does
//   not answer any command of the section.
//
// Pairs outside every section (the vendor group 0xE1, the parameter commands
// 40/46 and 42/46) fill nothing the host shows.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace smd {

enum class Section : uint8_t { Ac, Rectifiers, Dc };
constexpr size_t kSectionCount = 3;

// A set of sections, one bit each.
using SectionMask = uint8_t;
constexpr SectionMask section_bit(Section s) {
    return static_cast<SectionMask>(1u << static_cast<unsigned>(s));
}
constexpr SectionMask kNoSection = 0;
constexpr SectionMask kAllSections = 0x7;

struct PlantSection {
    Section section;
    const char* name;  // as every output names it: "ac", "rectifiers", "dc"
    const char* what;  // in words, for messages and help texts
    // CID1 << 8 | CID2 of the commands whose responses fill it; 0 ends.
    uint16_t pairs[4];
    // Those the listening driver decodes: on a followed line each is expected
    // from the start, until the first rounds show the master never sends it.
    uint16_t decoded[3];
    // The record's top-level members it fills; nullptr ends.
    const char* fields[4];
    const char* alarm_id;  // the host's alarm while the plant does not answer it
    const char* message;   // that alarm's message
};

// In Section order. Fixed-point analog commands (CID2 0x42) are listed with
// the floating-point ones: the driver family sends either.
inline constexpr PlantSection kPlantSections[] = {
    {Section::Ac,
     "ac",
     "AC distribution",
     {0x4041, 0x4042, 0x4043, 0x4044},
     {0x4041, 0x4044, 0},
     {"ac", "ac_channels", nullptr, nullptr},
     "smdgw-section-ac",
     "no data from the AC distribution"},
    {Section::Rectifiers,
     "rectifiers",
     "rectifier modules",
     {0x4141, 0x4142, 0x4143, 0x4144},
     {0x4141, 0x4143, 0x4144},
     {"out_v", "channel_count", "channels", nullptr},
     "smdgw-section-rectifiers",
     "no data from the rectifier modules"},
    {Section::Dc,
     "dc",
     "DC panels",
     {0x4241, 0x4242, 0x4244, 0},
     {0x4244, 0x4241, 0},
     {"dc", "dc2", nullptr, nullptr},
     "smdgw-section-dc",
     "no data from the DC panel"},
};
static_assert(sizeof kPlantSections / sizeof kPlantSections[0] == kSectionCount);

inline constexpr std::array<Section, kSectionCount> kSections = {Section::Ac, Section::Rectifiers,
                                                                 Section::Dc};

const PlantSection& plant_section(Section s);
// What the response to this command of a section brings, in words ("DC
// analog values" for 42/41); nullptr for a pair of no section.
const char* pair_contents(uint16_t pair);
// The section the response to this command fills, if any.
std::optional<Section> section_of_pair(uint8_t cid1, uint8_t cid2);
// The section of a top-level record member ("dc2", "out_v"), if any.
std::optional<Section> section_of_field(const char* top_level_path);
// The section named "ac", "rectifiers" or "dc", if any.
std::optional<Section> section_named(const char* name);
// The host's alarm of the section with this alarm ID, if it is one.
std::optional<Section> section_of_alarm(const char* alarm_id);

// What the host can say of a section's data after a round:
//   fresh    refreshed intact by this round;
//   held     not refreshed by this round, though the plant answers it: the
//            values shown are those of the last round that refreshed it;
//   missing  the plant has not answered any command of it for
//            "section_missing_rounds" rounds in a row (its alarm's condition);
//   never    not refreshed since start: nothing of it is shown.
enum class Freshness : uint8_t { Fresh, Held, Missing, Never };
const char* freshness_name(Freshness f);

using SectionStates = std::array<Freshness, kSectionCount>;
constexpr SectionStates kNeverRefreshed = {Freshness::Never, Freshness::Never, Freshness::Never};
constexpr SectionStates kAllFresh = {Freshness::Fresh, Freshness::Fresh, Freshness::Fresh};

// The sections a round refreshed.
SectionMask fresh_sections(const SectionStates& s);

}  // namespace smd
