#include "tools/smdgw/core/shown_state.h"

namespace smdgw {

ShownState shown_state(const DeviceState& d) {
    ShownState s;
    s.device = &d;
    if (!d.shown_record.empty()) {
        s.record = &d.shown_record;
    } else if (!d.record.empty()) {
        s.record = &d.record;
        s.restored = true;
    }
    return s;
}

bool ShownState::shows(smd::Section s) const {
    if (!record) return false;
    return restored || device->section(s).available();
}

bool ShownState::current(smd::Section s) const {
    return record && !restored && device->data_state == DataState::Live &&
           device->section(s).available() && device->section(s).state == smd::Freshness::Fresh;
}

std::time_t ShownState::as_of(smd::Section s) const {
    if (!shows(s)) return 0;
    return restored ? device->record_unix_time : *device->section(s).refreshed_at;
}

smd::SectionMask ShownState::sections() const {
    smd::SectionMask m = smd::kNoSection;
    for (smd::Section s : smd::kSections)
        if (shows(s)) m |= smd::section_bit(s);
    return m;
}

}  // namespace smdgw
