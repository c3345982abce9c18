#pragma once
// The plant's battery: one or two strings of 24 lead-acid cells on the DC bus.
// With mains present the rectifiers carry the load and recharge the strings
// within a current limit; without mains the strings carry the load, their
// charge falling faster than the current alone says (Peukert), the bus
// voltage following the cells' discharge curve down to the low-voltage
// disconnect, where the load is dropped. The truth of it (state of charge,
// true time to the disconnect, true capacity) goes to --json.

#include <json/value.h>

#include <chrono>
#include <vector>

namespace powersim {

struct BatteryParams {
    double nameplate_ah = 0.0;  // per string; 0: the plant has no battery model
    unsigned strings = 2;       // 1 or 2, reported as the first currents of DC panel 1
    double fade = 0.0;          // share of the nameplate lost with age (0 to 0.9)
    double peukert = 1.15;
    double lvd_v = 44.4;          // the bus voltage at which the load is disconnected
    double charge_limit_a = 0.0;  // per string; 0: a tenth of the nameplate
    bool enabled() const { return nameplate_ah > 0.0; }
    // The Peukert exponent applies against the ten-hour rate of the nameplate.
    static constexpr double kRatedHours = 10.0;
    static constexpr unsigned kCells = 24;
};

// What the plant's other parts ask of the battery in one step.
struct BatteryStep {
    double seconds = 0.0;  // plant time since the last step
    bool mains = true;     // some AC input delivers
    double load_a = 0.0;   // what the DC load draws
};

class BatteryModel {
   public:
    explicit BatteryModel(const BatteryParams& p);

    void step(const BatteryStep& s);

    // The bus voltage: the float voltage given with mains and a full
    // battery, the cells' voltage under their current otherwise.
    double bus_v(double float_v) const;
    // Per string: positive while charging, negative while discharging.
    std::vector<float> string_currents() const;
    // What the rectifiers deliver beyond the load (the charge current).
    double charge_a() const { return current_a_ > 0.0 ? current_a_ : 0.0; }
    bool disconnected() const { return disconnected_; }
    double temperature_c() const { return temp_c_; }
    double charge() const { return charge_; }
    // Seconds to the disconnect at the present current; negative when not
    // discharging.
    double time_to_lvd_s() const;
    double true_capacity_ah() const;  // all strings
    Json::Value truth() const;

   private:
    // Ah drawn per hour from the whole bank at this discharge current,
    // Peukert-corrected against the ten-hour rate of the nameplate.
    double effective_a(double discharge_a) const;
    double cell_v() const;

    BatteryParams p_;
    double charge_ = 1.0;      // 0 to 1 of the true capacity
    double current_a_ = 0.0;   // whole bank, + charging / - discharging
    double temp_c_ = 25.0;
    bool disconnected_ = false;
};

// The plant's own time: the wall clock run faster by --time-scale when the
// line is paced (or answered as it comes), else the round interval per round.
class PlantClock {
   public:
    PlantClock() = default;
    PlantClock(bool wall, double scale, double per_round)
        : wall_(wall), scale_(scale), per_round_(per_round),
          last_(std::chrono::steady_clock::now()) {}
    // Plant seconds since the last call.
    double advance();

   private:
    bool wall_ = false;
    double scale_ = 1.0;
    double per_round_ = 1.0;
    std::chrono::steady_clock::time_point last_{};
};

}  // namespace powersim
