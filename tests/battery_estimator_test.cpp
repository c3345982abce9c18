// The battery estimate against the simulator's battery: discharges at a
// steady load, a load step, and a discharge to the disconnect that teaches
// the capacity the next discharge is estimated with. Rounds every second,
// as the DC panel would report them.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tools/powersim/battery_model.h"
#include "tools/smdgw/core/battery_estimator.h"

namespace {

using smdgw::BatteryEstimator;
using smdgw::BatteryInput;
using smdgw::BatteryState;

struct Phase {
    double seconds;
    bool mains;
    double load_a;
};

struct Case {
    const char* name;
    double nameplate_ah;  // per string
    unsigned strings;
    double fade;
    std::vector<Phase> phases;
    // Checked in the last phase of discharge, from this many seconds into it.
    double check_from_s;
    double runtime_tolerance;  // share of the true time to LVD
    bool learn_first;          // a discharge to LVD and a recharge come first
};

struct Bench {
    powersim::BatteryModel sim;
    BatteryEstimator est;
    double t = 0.0;
    Bench(const powersim::BatteryParams& p, const smdgw::BatteryConfig& c) : sim(p), est(c) {}
    void round(bool mains, double load) {
        t += 1.0;
        sim.step({1.0, mains, load});
        BatteryInput in;
        in.t_s = t;
        in.bus_v = sim.bus_v(53.5);
        for (float i : sim.string_currents()) in.currents.push_back(i);
        in.temperature_c = sim.temperature_c();
        est.update(in);
    }
};

TEST(BatteryEstimator, FollowsTheSimulatedDischarges) {
    const Case cases[] = {
        {"200 Ah at 160, 50 A", 200, 1, 0.2, {{1200, true, 50}, {20000, false, 50}}, 300, 0.10,
         false},
        {"2 x 100 Ah at 160, 50 A", 100, 2, 0.2, {{1200, true, 50}, {20000, false, 50}}, 300,
         0.10, false},
        {"load step 30 A to 60 A", 200, 1, 0.2,
         {{1200, true, 30}, {1800, false, 30}, {20000, false, 60}}, 120, 0.15, false},
        {"learned, then 50 A", 200, 1, 0.2, {{20000, false, 50}}, 120, 0.10, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        powersim::BatteryParams p;
        p.nameplate_ah = c.nameplate_ah;
        p.strings = c.strings;
        p.fade = c.fade;
        smdgw::BatteryConfig cfg;
        cfg.strings_ah.assign(c.strings, c.nameplate_ah);
        Bench run(p, cfg);
        const double true_ah = c.nameplate_ah * c.strings * (1.0 - c.fade);
        if (c.learn_first) {
            for (int k = 0; k < 1200; ++k) run.round(true, 50);
            while (!run.sim.disconnected()) run.round(false, 50);
            run.round(false, 50);
            ASSERT_TRUE(run.est.reading().learned_capacity_ah);
            EXPECT_NEAR(*run.est.reading().learned_capacity_ah, true_ah, 0.05 * true_ah);
            // Recharged and floated until full again.
            for (int k = 0; k < 40000 && run.sim.charge() < 1.0; ++k) run.round(true, 50);
            for (int k = 0; k < 1200; ++k) run.round(true, 50);
            EXPECT_EQ(run.est.reading().state, BatteryState::Float);
        }
        for (size_t ph = 0; ph < c.phases.size(); ++ph) {
            const Phase& f = c.phases[ph];
            const bool last = ph + 1 == c.phases.size();
            double prev_runtime = INFINITY;
            int checked = 0;
            for (double s = 0; s < f.seconds && !run.sim.disconnected(); s += 1.0) {
                run.round(f.mains, f.load_a);
                const auto& r = run.est.reading();
                if (!last || s < c.check_from_s || run.sim.disconnected()) continue;
                ASSERT_EQ(r.state, BatteryState::Discharging) << "at " << s << " s";
                ASSERT_TRUE(r.runtime_s && r.charge) << "at " << s << " s";
                const double truth = run.sim.time_to_lvd_s();
                // Near the end the share is of little; a minute's error is allowed.
                EXPECT_NEAR(*r.runtime_s, truth, std::max(60.0, c.runtime_tolerance * truth))
                    << "at " << s << " s";
                EXPECT_NEAR(*r.charge, run.sim.charge(), 0.10) << "at " << s << " s";
                EXPECT_LE(*r.runtime_s, prev_runtime) << "rose at " << s << " s";
                EXPECT_LE(*r.runtime_low_s, truth * 1.15);
                prev_runtime = *r.runtime_s;
                ++checked;
                if (::testing::Test::HasFailure()) return;
            }
            if (last) {
                EXPECT_GT(checked, 600);
            }
        }
        EXPECT_TRUE(run.sim.disconnected());
        run.round(false, 0);
        EXPECT_EQ(run.est.reading().state, BatteryState::Disconnected);
    }
}

// Mains back before the disconnect: a discharge from full deeper than a fifth
// of the nameplate teaches the capacity from the loaded voltage, a shallow one
// does not, and a second deep one moves a learned capacity half way.
TEST(BatteryEstimator, LearnsFromAPartialDischarge) {
    struct Step {
        double discharge_s;
        bool learns;
    };
    powersim::BatteryParams p;
    p.nameplate_ah = 200;
    p.strings = 1;
    p.fade = 0.3;
    smdgw::BatteryConfig cfg;
    cfg.strings_ah = {200};
    Bench run(p, cfg);
    const double true_ah = 140;
    // 50 A for 10 minutes is about 10 % of the nameplate; for 80 minutes about a half.
    for (const Step& s : {Step{600, false}, Step{4800, true}, Step{4800, true}}) {
        SCOPED_TRACE(s.discharge_s);
        for (int k = 0; k < 40000 && run.sim.charge() < 1.0; ++k) run.round(true, 50);
        for (int k = 0; k < 1200; ++k) run.round(true, 50);
        ASSERT_EQ(run.est.reading().state, BatteryState::Float);
        for (double t = 0; t < s.discharge_s; t += 1.0) run.round(false, 50);
        ASSERT_FALSE(run.sim.disconnected());
        run.round(true, 50);
        EXPECT_EQ(run.est.reading().state, BatteryState::Charging);
        EXPECT_EQ(run.est.take_learned(), s.learns);
        EXPECT_EQ(run.est.reading().learned_capacity_ah.has_value(), s.learns);
        if (s.learns) {
            EXPECT_NEAR(*run.est.reading().learned_capacity_ah, true_ah, 0.05 * true_ah);
        }
    }
}

}  // namespace
