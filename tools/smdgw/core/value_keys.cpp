#include "tools/smdgw/core/value_keys.h"

#include <cstring>

#include "tools/smdgw/core/shown_state.h"

namespace smdgw {

namespace {

// An AC input without mains: no phase at 150 V (the driver's own test).
constexpr float kMainsPresentVolts = 150.0f;
bool input_dead(const veltra_ac_channel_t& c) {
    return c.a < kMainsPresentVolts && c.b < kMainsPresentVolts && c.c < kMainsPresentVolts;
}

float out_v(const veltra_record_t& r) { return r.dc.v; }
float ac(const veltra_record_t& r) { return mains_failure(r) ? 1.0f : 0.0f; }
float ac1(const veltra_record_t& r) { return input_dead(r.ac_channels[0]) ? 1.0f : 0.0f; }
float ac2(const veltra_record_t& r) { return input_dead(r.ac_channels[1]) ? 1.0f : 0.0f; }

constexpr ValueKey kValueKeys[] = {
    {"out_v", smd::Section::Dc, out_v},
    {"ac", smd::Section::Ac, ac},
    {"ac1", smd::Section::Ac, ac1},
    {"ac2", smd::Section::Ac, ac2},
};

}  // namespace

bool mains_failure(const veltra_record_t& r) {
    return input_dead(r.ac_channels[0]) && input_dead(r.ac_channels[1]);
}

const ValueKey* find_value_key(const std::string& key) {
    for (const ValueKey& k : kValueKeys)
        if (key == k.key) return &k;
    return nullptr;
}

ShownValue shown_value(const DeviceState& d, const std::string& key, float driver_value) {
    ShownValue out;
    out.value = driver_value;
    const ValueKey* k = find_value_key(key);
    if (!k) return out;
    out.section = k->section;
    out.view = d.section(k->section);
    // A restored round, or a section the last live round refreshed: the
    // driver's record holds the value.
    if (d.has_round && d.last_round.restored) return out;
    if (out.view.state == smd::Freshness::Fresh) return out;
    const ShownState shown = shown_state(d);
    if (!shown.has_record() || shown.restored || !shown.shows(k->section)) {
        out.available = false;
        return out;
    }
    veltra_record_t rec;
    std::memcpy(&rec, shown.record->data(), sizeof rec);
    out.value = k->read(rec);
    return out;
}

}  // namespace smdgw
