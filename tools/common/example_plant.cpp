#include "tools/common/example_plant.h"

namespace veltra_frames {

namespace {

constexpr unsigned kModules = 12;
constexpr unsigned kFusesPanel1 = 10;
constexpr unsigned kFusesPanel2 = 6;

AcInput ac_input(float base, unsigned round) {
    AcInput in;
    in.a = base + 0.5f * static_cast<float>(round);
    in.b = base + 1.5f - 0.25f * static_cast<float>(round);
    in.c = base - 1.0f + 0.75f * static_cast<float>(round);
    in.f = 50.0f - 0.05f * static_cast<float>(round);
    in.further_states = {0};
    in.user_alarms = {0, 0};
    return in;
}

RectifierModule module(unsigned j, unsigned round) {
    RectifierModule m;
    m.out_i = 18.0f + 0.5f * static_cast<float>(j) + 0.25f * static_cast<float>(round);
    // Module temperature and AC input voltage as the module measures it.
    m.user_values = {31.0f + static_cast<float>(j % 4), 226.0f + 0.5f * static_cast<float>(round)};
    m.shutdown = 0;
    m.i_limit = 0;
    m.charge = 1;  // float charge
    m.user_states = {0};
    m.fault = 0;
    m.user_alarms = {0, 0, 0};
    return m;
}

DcPanel panel(float v, float i, unsigned fuses) {
    DcPanel p;
    p.v = v;
    p.i = i;
    p.currents = {i * 0.6f, i * 0.4f};
    p.user_values = {25.0f};  // battery temperature
    p.fuses.assign(fuses, 0);
    return p;
}

}  // namespace

PlantSnapshot example_plant(unsigned round) {
    PlantSnapshot s;
    s.ac.inputs = {ac_input(224.0f, round), ac_input(226.5f, round)};
    s.ac.ia = 21.5f + 0.5f * static_cast<float>(round);
    s.ac.ib = 20.75f;
    s.ac.ic = 22.25f - 0.25f * static_cast<float>(round);
    s.out_v = 53.5f + 0.0625f * static_cast<float>(round);
    for (unsigned j = 0; j < kModules; ++j) s.modules.push_back(module(j, round));
    s.panels = {panel(53.5f + 0.0625f * static_cast<float>(round), 151.25f, kFusesPanel1),
                panel(53.4375f, 62.5f, kFusesPanel2)};
    if (round == 2) {
        s.panels[0].fuses[3] = 0x03;  // load fuse 4 of panel 1 blown
        s.modules[7].fault = 0x01;    // and module 8 reports a fault
    }
    return s;
}

std::string example_capture(unsigned rounds, const LineAddress& at) {
    std::string out;
    for (unsigned r = 0; r < rounds; ++r) out += round_text(example_plant(r), at);
    return out;
}

}  // namespace veltra_frames
