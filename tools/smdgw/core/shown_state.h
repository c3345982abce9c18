#pragma once
// The one reader of a device's shown values: which record they come from,
// which sections of it are shown, from when, and whether they are current.
// SNMP, the HTTP device board, the Prometheus file and the text view read
// plant figures only through it, so they agree on every device.
//
// Once a live round came, the values are the shown record's (each section's
// members from the last live round that refreshed it), and a section is
// shown once a live round refreshed it. Before any live round, a record
// restored from the history shows every section, none of them current, as of
// the record's time.

#include <ctime>
#include <vector>

#include "host/plant_sections.h"
#include "tools/smdgw/core/device_state.h"

namespace smdgw {

struct ShownState {
    const DeviceState* device = nullptr;
    // The record the values are read from; null when there is none yet.
    const std::vector<unsigned char>* record = nullptr;
    // The record restored from the history, before any live round.
    bool restored = false;

    // A whole record to read values from.
    bool has_record() const { return record && record->size() == kRecordSize; }
    // Whether the values of section s are shown.
    bool shows(smd::Section s) const;
    // Shown and current: the device is live and its last live round
    // refreshed the section again.
    bool current(smd::Section s) const;
    // When the section's values were taken (0 when not shown).
    std::time_t as_of(smd::Section s) const;
    // The sections shown.
    smd::SectionMask sections() const;
};

// The shown state of a device; valid while `d` is.
ShownState shown_state(const DeviceState& d);

}  // namespace smdgw
