#include "tools/powersim/plant_model.h"

#include <algorithm>

namespace powersim {

namespace {

constexpr uint8_t kNormal = 0;

}  // namespace

PlantModel::PlantModel(const PlantParams& params)
    : params_(params),
      rng_(params.seed),
      phase_v_{{228.4f, 227.9f, 229.1f}, {226.2f, 225.8f, 227.0f}},
      freq_{50.0f, 50.0f},
      load_a_(96.0f),
      bus_v_(53.5f),
      temp_(35.0f),
      battery_(params.battery) {
    params_.modules = std::clamp(params_.modules, 1u, 40u);
    params_.panels = std::clamp(params_.panels, 1u, 2u);
    params_.fuses = std::min(params_.fuses, 10u);
}

float PlantModel::drift(float value, float step, float lo, float hi) {
    std::uniform_real_distribution<float> d(-step, step);
    return std::clamp(value + d(rng_), lo, hi);
}

void PlantModel::step(const RoundConditions& c) {
    for (auto& input : phase_v_)
        for (float& v : input) v = drift(v, 0.6f, 220.0f, 235.0f);
    for (float& f : freq_) f = drift(f, 0.02f, 49.9f, 50.1f);
    load_a_ = drift(load_a_, 1.5f, 80.0f, 120.0f);
    bus_v_ = drift(bus_v_, 0.03f, 53.3f, 53.7f);
    temp_ = drift(temp_, 0.3f, 30.0f, 42.0f);
    if (c.load_a >= 0.0f) load_a_ = c.load_a;
    mains_ = c.mains;
    battery_.step({c.seconds, c.mains, load_a_});
}

veltra_frames::PlantSnapshot PlantModel::snapshot() const {
    using namespace veltra_frames;
    PlantSnapshot s;
    // Two AC inputs, eight status bytes each (breaker, surge protector,
    // input power per phase, switch-over, panel link).
    for (int i = 0; i < 2; ++i) {
        AcInput in;
        in.a = phase_v_[i][0];
        in.b = phase_v_[i][1];
        in.c = phase_v_[i][2];
        in.f = freq_[i];
        in.user_alarms.assign(8, kNormal);
        s.ac.inputs.push_back(in);
    }
    // The AC side carries the DC load plus the rectifiers' losses.
    // With a battery: the strings set the bus voltage, carry the load when
    // mains is gone and drop it at the disconnect; the rectifiers deliver
    // the load and the recharge.
    const bool battery = params_.battery.enabled();
    const bool on_battery = battery && !mains_;
    const float bus_v = static_cast<float>(battery_.bus_v(bus_v_));
    const float load_a = battery_.disconnected() ? 0.0f : load_a_;
    const float rectified_a =
        on_battery ? 0.0f : load_a + static_cast<float>(battery_.charge_a());
    const float ac_current = rectified_a * bus_v / (3.0f * 0.92f * 228.0f);
    s.ac.ia = ac_current;
    s.ac.ib = ac_current * 1.01f;
    s.ac.ic = ac_current * 0.99f;

    s.out_v = bus_v;
    const float share = rectified_a / static_cast<float>(params_.modules);
    for (unsigned j = 0; j < params_.modules; ++j) {
        RectifierModule m;
        m.out_i = share * (1.0f + 0.01f * static_cast<float>(static_cast<int>(j % 3) - 1));
        // User-defined values: module temperature, AC input voltage, output
        // voltage set-point.
        m.user_values = {temp_ + 0.5f * static_cast<float>(j % 4), phase_v_[0][j % 3], 53.5f};
        m.shutdown = 0;
        m.user_states.assign(2, kNormal);
        m.user_alarms.assign(8, kNormal);
        s.modules.push_back(m);
    }
    for (unsigned p = 0; p < params_.panels; ++p) {
        DcPanel panel;
        panel.v = bus_v - 0.05f * static_cast<float>(p);
        panel.i = load_a / static_cast<float>(params_.panels);
        panel.currents = {panel.i * 0.6f, panel.i * 0.4f};
        panel.user_values = {25.0f + static_cast<float>(p)};  // battery temperature
        if (battery) {
            // The battery strings' currents are panel 1's first current list.
            panel.currents = p == 0 ? battery_.string_currents() : std::vector<float>{};
            if (p == 0) panel.user_values[0] = static_cast<float>(battery_.temperature_c());
        }
        panel.fuses.assign(params_.fuses, kNormal);
        s.panels.push_back(panel);
    }
    return s;
}

}  // namespace powersim
