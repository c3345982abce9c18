#include "tools/smdgw/core/retry_backoff.h"

#include <algorithm>
#include <cmath>

namespace smdgw {

RetryBackoff::RetryBackoff(const RetryPolicy& policy, uint64_t seed) : policy_(policy), rng_(seed) {
    policy_.base_s = std::max(policy_.base_s, 0.001);
    policy_.cap_s = std::max(policy_.cap_s, policy_.base_s);
}

double RetryBackoff::uniform(double hi) {
    if (!(hi > 0.0)) return 0.0;
    std::uniform_real_distribution<double> d(0.0, hi);
    return d(rng_);
}

double RetryBackoff::first_delay() { return uniform(policy_.first_spread_s); }

double RetryBackoff::next_delay(double outage_s) {
    if (policy_.fast_interval_s > 0.0 && outage_s < policy_.fast_for_s) {
        ++attempts_;
        return policy_.fast_interval_s;
    }
    // The exponent stops growing once the cap is reached, so a long outage
    // never overflows the step.
    const double step =
        std::min(policy_.cap_s, policy_.base_s * std::ldexp(1.0, static_cast<int>(std::min(slow_, 60u))));
    ++attempts_;
    ++slow_;
    if (!policy_.full_jitter) return step;
    // Full jitter, but never a busy loop.
    return std::max(uniform(step), std::min(0.05, step));
}

}  // namespace smdgw
