#pragma once
// The driver's value keys as the host serves them (--get, the HTTP value
// API). The driver answers from its live record, which holds whatever the
// last round brought: a section that round did not refresh reads as zeros
// (and "ac" as a power failure). The host serves the driver's answer when the
// key's section was refreshed by the last round, and otherwise the same key
// computed on the shown record, the values of the last round that refreshed
// that section.
//
//   {"out_v", Section::Dc, ...}   DC bus voltage of panel 1
//   {"ac",    Section::Ac, ...}   1 when both AC inputs have no phase at 150 V

#include <optional>
#include <stdexcept>
#include <string>

#include "host/plant_sections.h"
#include "record/veltra_record.h"
#include "tools/smdgw/core/device_state.h"

namespace smdgw {

struct ValueKey {
    const char* key;
    smd::Section section;
    float (*read)(const veltra_record_t& r);  // the driver's lookup of the key
};

// The key's entry, or nullptr for a key the driver does not serve.
const ValueKey* find_value_key(const std::string& key);

struct ShownValue {
    float value = 0.0f;
    // False when no live round has refreshed the key's section yet: the
    // driver's answer would be a zero of a section never seen.
    bool available = true;
    // The key's section and its view (freshness, last refresh); none for a
    // key the table does not know.
    std::optional<smd::Section> section;
    SectionView view;
};

// No live round has refreshed the section of the key asked for.
class SectionUnavailable : public std::runtime_error {
   public:
    explicit SectionUnavailable(smd::Section s)
        : std::runtime_error(std::string("no data of section \"") + smd::plant_section(s).name +
                             "\" yet"),
          section_(s) {}
    smd::Section section() const { return section_; }

   private:
    smd::Section section_;
};

// Mains failure as the driver's "ac" key judges it: no AC input has a phase
// at 150 V (an input the plant does not report reads as zeros).
bool mains_failure(const veltra_record_t& r);

// The value to serve for key given the driver's answer (which passed the
// driver's own checks: data ready and recent).
ShownValue shown_value(const DeviceState& d, const std::string& key, float driver_value);

}  // namespace smdgw
