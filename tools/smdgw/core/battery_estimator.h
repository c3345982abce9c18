#pragma once
// What a battery bank holds and how long it lasts, from what a DC panel
// reports each round: the strings' currents (+ charging, - discharging), the
// bus voltage and the battery temperature. Charge is counted in ampere-hours
// from full (full once float has held FULL_AFTER_FLOAT seconds), discharge
// corrected for its rate (Peukert, against the ten-hour rate of the
// nameplate); the disconnect sets it empty. The time to the disconnect comes
// from the charge left at the present current, held against the voltage's
// own trend near the end, and never rises while the current holds. A
// discharge from full to the disconnect teaches the bank's true capacity.

#include <deque>
#include <optional>
#include <vector>

#include "tools/smdgw/core/battery_config.h"

namespace smdgw {

enum class BatteryState { Unknown, Float, Charging, Discharging, Disconnected };
const char* battery_state_name(BatteryState s);

// One refreshed DC round.
struct BatteryInput {
    double t_s = 0.0;                  // monotonic seconds of the host clock
    double bus_v = 0.0;                // as a magnitude
    std::vector<double> currents;      // per string, as reported
    std::optional<double> temperature_c;
};

struct BatteryReading {
    BatteryState state = BatteryState::Unknown;
    double since_t_s = 0.0;  // when this state began (monotonic seconds)
    std::optional<double> charge;  // 0 to 1
    std::optional<double> runtime_s, runtime_low_s, runtime_high_s;
    double current_a = 0.0;  // the bank, + charging
    std::optional<double> temperature_c;
    double capacity_ah = 0.0;  // nameplate
    std::optional<double> learned_capacity_ah;
    double bus_v_last = 0.0;
    double discharge_s = 0.0;  // how long this discharge has lasted
};

class BatteryEstimator {
   public:
    static constexpr double kFullAfterFloatS = 600.0;
    // A gap longer than this between refreshed rounds loses the count; a
    // shorter one is counted at the present current (a plant's load moves
    // slowly, and a lost hour at full load is not guessed).
    static constexpr double kMaxGapS = 3600.0;

    explicit BatteryEstimator(BatteryConfig c) : c_(std::move(c)) {}

    // A learned capacity kept from an earlier run.
    void set_learned_capacity(double ah) { learned_ah_ = r_.learned_capacity_ah = ah; }
    void update(const BatteryInput& in);
    const BatteryReading& reading() const { return r_; }
    // True once after a discharge taught a new capacity.
    bool take_learned() {
        const bool n = newly_learned_;
        newly_learned_ = false;
        return n;
    }

   private:
    BatteryState classify(double current_a, double bus_v) const;
    double capacity() const { return learned_ah_ ? *learned_ah_ : c_.nameplate_ah(); }
    double effective_a(double discharge_a) const;
    std::optional<double> voltage_runtime() const;
    void estimate_runtime(double current_a);
    void learn_from_voltage();

    BatteryConfig c_;
    BatteryReading r_;
    bool started_ = false;
    double last_t_ = 0.0;
    double float_since_ = -1.0;
    std::optional<double> removed_ah_;  // Peukert-corrected, since full; none until full
    bool from_full_ = false;            // this discharge began at a known full charge
    std::optional<double> learned_ah_;
    // This discharge's capacity as its settled voltage tells it, while none is learned.
    std::optional<double> discharge_capacity_;
    // The same, kept whether or not a capacity is learned: a partial discharge teaches it.
    std::optional<double> voltage_capacity_;
    bool newly_learned_ = false;
    std::deque<std::pair<double, double>> volts_;  // (t, V) of this discharge's last minutes
    std::optional<double> held_runtime_;
    double held_current_ = 0.0;
};

}  // namespace smdgw
