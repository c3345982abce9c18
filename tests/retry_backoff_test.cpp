// The one retry schedule and the one log limiter that every retrying part of
// smdgw uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "tools/smdgw/core/log_limiter.h"
#include "tools/smdgw/core/retry_backoff.h"

using smdgw::LogLimiter;
using smdgw::RetryBackoff;
using smdgw::RetryPolicy;

TEST(RetryBackoff, StepsFastThenDoubleUpToTheCap) {
    RetryPolicy p;
    p.base_s = 2;
    p.cap_s = 10;
    p.fast_interval_s = 1;
    p.fast_for_s = 60;
    RetryBackoff b(p, 1);
    // (seconds into the outage, expected wait)
    const std::vector<std::pair<double, double>> steps = {
        {0, 1}, {1, 1}, {59.5, 1}, {60, 2}, {62, 4}, {66, 8}, {74, 10}, {84, 10}, {1e9, 10}};
    for (const auto& [at, want] : steps) EXPECT_DOUBLE_EQ(b.next_delay(at), want) << "at " << at;
    b.reset();
    EXPECT_DOUBLE_EQ(b.next_delay(0), 1);
    EXPECT_DOUBLE_EQ(b.next_delay(61), 2);  // the exponent starts over too
}

TEST(RetryBackoff, FullJitterStaysUnderTheStepAndSpreads) {
    RetryPolicy p;
    p.base_s = 1;
    p.cap_s = 15;
    p.full_jitter = true;
    p.first_spread_s = 5;
    std::vector<double> firsts;
    for (uint64_t seed = 0; seed < 200; ++seed) {
        RetryBackoff b(p, seed);
        const double first = b.first_delay();
        ASSERT_GE(first, 0.0);
        ASSERT_LE(first, 5.0);
        firsts.push_back(first);
        double step = 1;
        for (int i = 0; i < 12; ++i, step = std::min(step * 2, 15.0)) {
            const double d = b.next_delay(100);
            ASSERT_GT(d, 0.0);
            ASSERT_LE(d, step);
        }
    }
    // A thousand gateways must not come back together: the first tries
    // cover the window rather than bunching at one end.
    std::sort(firsts.begin(), firsts.end());
    EXPECT_LT(firsts[20], 1.0);
    EXPECT_GT(firsts[180], 4.0);
}

TEST(LogLimiter, WritesFirstThenOncePerIntervalWithTheCountHeldBack) {
    LogLimiter l(60);
    ASSERT_EQ(l.allow(0), std::optional<uint64_t>(0));
    EXPECT_FALSE(l.allow(1).has_value());
    EXPECT_FALSE(l.allow(59.9).has_value());
    EXPECT_EQ(l.held(), 2u);
    EXPECT_EQ(l.allow(60), std::optional<uint64_t>(2));
    EXPECT_EQ(LogLimiter::held_note(2), " (2 more since the last message)");
    EXPECT_EQ(LogLimiter::held_note(0), "");
    EXPECT_FALSE(l.allow(61).has_value());
    l.reset();
    EXPECT_EQ(l.allow(62), std::optional<uint64_t>(0));
}
