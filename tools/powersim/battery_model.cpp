#include "tools/powersim/battery_model.h"

#include <algorithm>
#include <cmath>

namespace powersim {

namespace {

// Charge per string when full: the float current that keeps the cells up.
constexpr double kFloatA = 0.2;
// Above this state of charge the charger's current tapers off.
constexpr double kTaperFrom = 0.9;
// The cell voltage above the disconnect at full charge is a plateau plus a
// knee near empty.
constexpr double kPlateauV = 0.12;
constexpr double kKneeV = 0.08;
constexpr double kKneeWidth = 0.08;
// The cells' voltage sags further the harder they are drawn.
constexpr double kSagPerRate = 0.05;
// Open-circuit recovery of a cell once the load is dropped.
constexpr double kRecoveryV = 0.06;
// Warming of the strings per ampere, and how fast they follow.
constexpr double kWarmPerA = 0.03;
constexpr double kAmbientC = 25.0;
constexpr double kThermalSeconds = 600.0;

}  // namespace

BatteryModel::BatteryModel(const BatteryParams& p) : p_(p) {
    p_.strings = std::clamp(p_.strings, 1u, 2u);
    p_.fade = std::clamp(p_.fade, 0.0, 0.9);
    if (p_.charge_limit_a <= 0.0) p_.charge_limit_a = p_.nameplate_ah / 10.0;
}

double BatteryModel::true_capacity_ah() const {
    return p_.nameplate_ah * (1.0 - p_.fade) * p_.strings;
}

double BatteryModel::effective_a(double discharge_a) const {
    const double rated = p_.nameplate_ah * p_.strings / BatteryParams::kRatedHours;
    if (discharge_a <= 0.0 || rated <= 0.0) return 0.0;
    return rated * std::pow(discharge_a / rated, p_.peukert);
}

void BatteryModel::step(const BatteryStep& s) {
    if (!p_.enabled() || s.seconds <= 0.0) return;
    const double capacity = true_capacity_ah();
    const double hours = s.seconds / 3600.0;
    if (s.mains) {
        disconnected_ = false;
        const double limit = p_.charge_limit_a * p_.strings;
        const double taper = std::clamp((1.0 - charge_) / (1.0 - kTaperFrom), 0.0, 1.0);
        current_a_ = std::max(limit * taper, kFloatA * p_.strings);
        if (charge_ < 1.0) charge_ = std::min(1.0, charge_ + current_a_ * hours / capacity);
    } else if (disconnected_) {
        current_a_ = 0.0;
    } else {
        current_a_ = -s.load_a;
        charge_ -= effective_a(s.load_a) * hours / capacity;
        if (charge_ <= 0.0) {
            charge_ = 0.0;
            disconnected_ = true;
            current_a_ = 0.0;
        }
    }
    const double target = kAmbientC + kWarmPerA * std::fabs(current_a_);
    temp_c_ += (target - temp_c_) * std::min(1.0, s.seconds / kThermalSeconds);
}

double BatteryModel::cell_v() const {
    const double lvd_cell = p_.lvd_v / BatteryParams::kCells;
    if (disconnected_) return lvd_cell + kRecoveryV;
    const double s = charge_;
    const double above = kPlateauV * s + kKneeV * (1.0 - std::exp(-s / kKneeWidth));
    const double rated = p_.nameplate_ah * p_.strings / BatteryParams::kRatedHours;
    const double rate = current_a_ < 0.0 && rated > 0.0 ? -current_a_ / rated : 0.0;
    return lvd_cell + above * std::max(0.5, 1.0 - kSagPerRate * rate);
}

double BatteryModel::bus_v(double float_v) const {
    if (!p_.enabled()) return float_v;
    const double cells = BatteryParams::kCells;
    if (current_a_ < 0.0 || disconnected_) return cells * cell_v();
    // Charging: the voltage climbs towards the float voltage as the cells fill.
    return std::min(float_v, cells * (2.05 + 0.18 * charge_));
}

std::vector<float> BatteryModel::string_currents() const {
    return std::vector<float>(p_.strings, static_cast<float>(current_a_ / p_.strings));
}

double BatteryModel::time_to_lvd_s() const {
    if (disconnected_ || current_a_ >= 0.0) return -1.0;
    const double eff = effective_a(-current_a_);
    return eff > 0.0 ? charge_ * true_capacity_ah() / eff * 3600.0 : -1.0;
}

Json::Value BatteryModel::truth() const {
    Json::Value j;
    j["charge"] = charge_;
    const double t = time_to_lvd_s();
    j["time_to_lvd_s"] = t >= 0.0 ? Json::Value(t) : Json::Value();
    j["capacity_ah"] = true_capacity_ah();
    j["nameplate_ah"] = p_.nameplate_ah * p_.strings;
    j["current_a"] = current_a_;
    j["state"] = disconnected_ ? "disconnected"
                 : current_a_ < 0.0 ? "discharging"
                 : charge_ < 1.0    ? "charging"
                                    : "float";
    return j;
}

double PlantClock::advance() {
    if (!wall_) return per_round_;
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - last_).count() * scale_;
    last_ = now;
    return seconds;
}

}  // namespace powersim
