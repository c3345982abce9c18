#include "tools/smdgw/core/battery_estimator.h"

#include <algorithm>
#include <cmath>

namespace smdgw {

namespace {

constexpr double kRatedHours = 10.0;
// A typical lead-acid cell under load: above the disconnect by a plateau
// falling with the charge and a knee near empty, sagging with the rate.
constexpr double kPlateauV = 0.12, kKneeV = 0.08, kKneeWidth = 0.08, kSagPerRate = 0.05;
// Near the end the voltage's own trend is trusted: this far above the LVD per cell.
constexpr double kNearEndPerCellV = 0.05;
constexpr double kTrendWindowS = 180.0;
// The voltage says the charge once the discharge has settled and is this deep.
constexpr double kSettleS = 120.0;

double loaded_cell_v(double lvd_cell, double charge, double rate) {
    const double above = kPlateauV * charge + kKneeV * (1.0 - std::exp(-charge / kKneeWidth));
    return lvd_cell + above * std::max(0.5, 1.0 - kSagPerRate * rate);
}

// The charge whose loaded voltage this is (the curve rises with the charge).
double charge_from_voltage(double lvd_cell, double cell_v, double rate) {
    double lo = 0.0, hi = 1.0;
    for (int k = 0; k < 40; ++k) {
        const double mid = (lo + hi) / 2.0;
        (loaded_cell_v(lvd_cell, mid, rate) < cell_v ? lo : hi) = mid;
    }
    return (lo + hi) / 2.0;
}

}  // namespace

const char* battery_state_name(BatteryState s) {
    switch (s) {
        case BatteryState::Float: return "float";
        case BatteryState::Charging: return "charging";
        case BatteryState::Discharging: return "discharging";
        case BatteryState::Disconnected: return "disconnected";
        case BatteryState::Unknown: break;
    }
    return "unknown";
}

double BatteryEstimator::effective_a(double discharge_a) const {
    const double rated = c_.nameplate_ah() / kRatedHours;
    if (discharge_a <= 0.0 || rated <= 0.0) return 0.0;
    return rated * std::pow(discharge_a / rated, c_.peukert);
}

BatteryState BatteryEstimator::classify(double current_a, double bus_v) const {
    // Below this the strings neither charge nor discharge to speak of.
    const double idle_a = std::max(0.5, 0.005 * c_.nameplate_ah());
    if (current_a < -idle_a) return BatteryState::Discharging;
    if (current_a > idle_a) return BatteryState::Charging;
    // No current and the cells near the disconnect: the load was dropped.
    if (bus_v < c_.lvd_v + 0.1 * c_.cells) return BatteryState::Disconnected;
    return BatteryState::Float;
}

std::optional<double> BatteryEstimator::voltage_runtime() const {
    if (volts_.size() < 3 || volts_.back().first - volts_.front().first < 30.0) return std::nullopt;
    const double v = volts_.back().second;
    if (v > c_.lvd_v + kNearEndPerCellV * c_.cells) return std::nullopt;
    double st = 0, sv = 0, stt = 0, stv = 0;
    const double n = static_cast<double>(volts_.size());
    const double t0 = volts_.front().first;
    for (const auto& p : volts_) {
        const double t = p.first - t0;
        st += t, sv += p.second, stt += t * t, stv += t * p.second;
    }
    const double den = n * stt - st * st;
    if (den <= 0.0) return std::nullopt;
    const double slope = (n * stv - st * sv) / den;
    if (slope >= 0.0) return std::nullopt;
    return std::max(0.0, (v - c_.lvd_v) / -slope);
}

void BatteryEstimator::estimate_runtime(double current_a) {
    const double load = -current_a;
    const double eff = effective_a(load);
    const double lvd_cell = c_.lvd_v / c_.cells;
    const double rate = load / (c_.nameplate_ah() / kRatedHours);
    std::optional<double> rt;
    double spread = learned_ah_ ? 0.08 : 0.15;
    if (removed_ah_ && eff > 0.0) {
        double remaining = std::max(0.0, capacity() - *removed_ah_);
        // Once the discharge has settled the loaded voltage tells the
        // charge left; with what was drawn since full it tells the capacity.
        const double depth_v =
            1.0 - charge_from_voltage(lvd_cell, r_.bus_v_last / c_.cells, rate);
        if (from_full_ && r_.discharge_s >= kSettleS && depth_v > 0.02 && *removed_ah_ > 0.0) {
            voltage_capacity_ = *removed_ah_ / depth_v;
            if (!learned_ah_) {
                discharge_capacity_ = voltage_capacity_;
                remaining = std::max(0.0, *discharge_capacity_ - *removed_ah_);
            }
        }
        rt = remaining / eff * 3600.0;
    } else if (eff > 0.0) {
        // Charge unknown: the voltage alone.
        rt = charge_from_voltage(lvd_cell, r_.bus_v_last / c_.cells, rate) * capacity() / eff *
             3600.0;
        spread = 0.3;
    }
    if (const auto vt = voltage_runtime()) rt = rt ? std::min(*rt, *vt) : *vt;
    if (!rt) return;
    // A steady load: the time left only falls.
    if (held_runtime_ && std::fabs(load - held_current_) <= 0.05 * held_current_)
        rt = std::min(*rt, std::max(0.0, *held_runtime_));
    else
        held_current_ = load;
    held_runtime_ = rt;
    r_.runtime_s = rt;
    r_.runtime_low_s = *rt * (1.0 - spread);
    r_.runtime_high_s = *rt * (1.0 + spread);
}

void BatteryEstimator::learn_from_voltage() {
    // Mains came back before the disconnect. A discharge from full deeper
    // than a fifth of the nameplate still tells the capacity: what was drawn
    // over the depth the loaded voltage showed last. The curve is a typical
    // one, so a capacity learned already moves only half way towards it.
    if (from_full_ && removed_ah_ && voltage_capacity_ &&
        *removed_ah_ > 0.2 * c_.nameplate_ah()) {
        learned_ah_ = learned_ah_ ? (*learned_ah_ + *voltage_capacity_) / 2.0 : *voltage_capacity_;
        newly_learned_ = true;
    }
    voltage_capacity_.reset();
    from_full_ = false;
}

void BatteryEstimator::update(const BatteryInput& in) {
    double current = 0.0;
    for (double i : in.currents) current += i;
    const BatteryState state = classify(current, in.bus_v);
    double dt = started_ ? in.t_s - last_t_ : 0.0;
    if (dt < 0.0) dt = 0.0;
    if (dt > kMaxGapS) {
        // Too long unseen to count through: the charge is known again at
        // the next full charge or disconnect.
        removed_ah_.reset();
        from_full_ = false;
        dt = 0.0;
    }
    if (removed_ah_) {
        if (current < 0.0)
            *removed_ah_ += effective_a(-current) * dt / 3600.0;
        else
            *removed_ah_ = std::max(0.0, *removed_ah_ - current * dt / 3600.0);
    }
    if (state == BatteryState::Float) {
        if (float_since_ < 0.0) float_since_ = in.t_s;
        if (in.t_s - float_since_ >= kFullAfterFloatS) removed_ah_ = 0.0;
    } else {
        float_since_ = -1.0;
    }
    const BatteryState was = r_.state;
    if (!started_ || state != was) r_.since_t_s = in.t_s;
    if (state == BatteryState::Discharging && was != BatteryState::Discharging) {
        from_full_ = removed_ah_ && *removed_ah_ <= 0.02 * capacity();
        discharge_capacity_.reset();
        voltage_capacity_.reset();
        volts_.clear();
        held_runtime_.reset();
    }
    if (state == BatteryState::Disconnected && was == BatteryState::Discharging) {
        // From full to the disconnect: what was drawn is what the bank holds.
        if (from_full_ && removed_ah_ && *removed_ah_ > 0.2 * c_.nameplate_ah()) {
            learned_ah_ = *removed_ah_;
            newly_learned_ = true;
        }
        discharge_capacity_.reset();
        removed_ah_ = capacity();
        from_full_ = false;
    } else if (was == BatteryState::Discharging && state != BatteryState::Discharging) {
        learn_from_voltage();
    }
    r_.state = state;
    r_.current_a = current;
    r_.bus_v_last = in.bus_v;
    r_.temperature_c = in.temperature_c;
    r_.capacity_ah = c_.nameplate_ah();
    r_.learned_capacity_ah = learned_ah_;
    r_.charge.reset();
    r_.runtime_s.reset();
    r_.runtime_low_s.reset();
    r_.runtime_high_s.reset();
    if (state == BatteryState::Discharging) {
        r_.discharge_s = in.t_s - r_.since_t_s;
        volts_.emplace_back(in.t_s, in.bus_v);
        while (!volts_.empty() && in.t_s - volts_.front().first > kTrendWindowS) volts_.pop_front();
        estimate_runtime(current);
    } else {
        held_runtime_.reset();
    }
    if (removed_ah_) {
        const double cap = discharge_capacity_ ? *discharge_capacity_ : capacity();
        r_.charge = std::clamp(1.0 - *removed_ah_ / cap, 0.0, 1.0);
    }
    started_ = true;
    last_t_ = in.t_s;
}

}  // namespace smdgw
