#pragma once
// The simulated -48 V plant: two AC inputs, N rectifier modules sharing the
// load, one or two DC panels with load fuses. Values drift a little from round
// to round; a seed makes a run repeatable.

#include <cstdint>
#include <random>
#include <vector>

#include "tools/common/frame_builder.h"
#include "tools/powersim/battery_model.h"

namespace powersim {

struct PlantParams {
    unsigned modules = 12;  // 1 to 40
    unsigned panels = 2;    // 1 or 2
    unsigned fuses = 6;     // load fuses per panel, 0 to 10
    uint32_t seed = 1;
    BatteryParams battery;  // no battery model unless a nameplate is given
};

// What the round's faults and the plant's clock make of one step.
struct RoundConditions {
    double seconds = 1.0;  // plant time since the last step
    bool mains = true;     // some AC input delivers
    float load_a = -1.0f;  // the DC load held at this, or below 0 to drift
};

class PlantModel {
   public:
    explicit PlantModel(const PlantParams& params);

    // Moves the plant on by one polling round.
    void step(const RoundConditions& c = {});
    // What the power system reports now, before any fault is applied.
    veltra_frames::PlantSnapshot snapshot() const;
    const PlantParams& params() const { return params_; }
    const BatteryModel& battery() const { return battery_; }

   private:
    float drift(float value, float step, float lo, float hi);

    PlantParams params_;
    std::mt19937 rng_;
    float phase_v_[2][3];
    float freq_[2];
    float load_a_;  // DC load current, amperes
    float bus_v_;
    float temp_;  // module temperature, reported as a user-defined value
    BatteryModel battery_;
    bool mains_ = true;
};

}  // namespace powersim
