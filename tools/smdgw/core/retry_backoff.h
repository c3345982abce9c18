#pragma once
// When to try again after a failure: one schedule for everything smdgw
// retries (a port that is missing, a broker that is down, a receiver that
// refuses, a master agent that restarts), so that they behave alike and a
// fleet of gateways does not return in step.
//
// The schedule, with fast 1 s for 60 s, then base 2 s, cap 10 s, full jitter:
//   failures during the first minute     1, 1, 1, ... s
//   then                                 uniform(0, 2), uniform(0, 4),
//                                        uniform(0, 8), uniform(0, 10), ... s
// With no jitter the same steps are 2, 4, 8, 10, 10 s. A random first delay
// (uniform(0, first_spread)) spreads the first try after a common event,
// such as a broker restart seen by a thousand gateways at once.

#include <cstdint>
#include <random>

namespace smdgw {

struct RetryPolicy {
    double base_s = 1.0;       // the first exponential step
    double cap_s = 30.0;       // no step is longer
    bool full_jitter = false;  // each step uniform in (0, step]
    // Tries this far apart for the first fast_for_s seconds of an outage.
    double fast_interval_s = 0.0;
    double fast_for_s = 0.0;
    // The first try waits uniform(0, first_spread_s); 0 tries at once.
    double first_spread_s = 0.0;
};

class RetryBackoff {
   public:
    explicit RetryBackoff(const RetryPolicy& policy, uint64_t seed = std::random_device{}());

    // The wait before the next try, given the seconds since the outage
    // began (the first failure); counts the try.
    double next_delay(double outage_s);
    // The first wait after a success or at start: the random spread, or 0.
    double first_delay();
    // A success: the next outage starts from the beginning.
    void reset() { attempts_ = slow_ = 0; }
    unsigned attempts() const { return attempts_; }
    const RetryPolicy& policy() const { return policy_; }

   private:
    double uniform(double hi);

    RetryPolicy policy_;
    std::mt19937_64 rng_;
    unsigned attempts_ = 0;
    unsigned slow_ = 0;  // exponential steps taken this outage
};

}  // namespace smdgw
