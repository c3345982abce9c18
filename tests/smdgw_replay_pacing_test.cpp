// smdgw --replay-speed: a capture handed on at a multiple of the line's speed,
// measured on a simulated clock that the pacer waits on.

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "tools/smdgw/core/replay_pacer.h"

namespace {

using std::chrono::nanoseconds;

// Stands in for sleeping: the clock jumps to each time the pacer waits for.
struct SimulatedClock {
    nanoseconds now{0};
    std::vector<nanoseconds> waits;
    smdgw::ReplayPacer::Waiter waiter() {
        return [this](nanoseconds until) {
            waits.push_back(until);
            if (until > now) now = until;
        };
    }
};

double seconds(nanoseconds t) { return std::chrono::duration<double>(t).count(); }

void replay(smdgw::ReplayPacer& pacer, size_t total) {
    for (size_t done = 0; done < total;) {
        const size_t n = std::min(pacer.chunk_bytes(), total - done);
        pacer.fed(n);
        done += n;
    }
}

TEST(ReplayPacing, TakesTheLineTimeDividedByTheSpeed) {
    // 9600 baud at 10 bits a byte: 960 bytes a second.
    const struct {
        double speed;
        size_t bytes;
        double expected_seconds;
    } cases[] = {{1.0, 960, 1.0}, {2.0, 9600, 5.0}, {0.5, 480, 1.0}, {100.0, 96000, 1.0}};
    for (const auto& c : cases) {
        SimulatedClock clock;
        smdgw::ReplayPacer pacer(c.speed, clock.waiter());
        replay(pacer, c.bytes);
        EXPECT_NEAR(seconds(clock.now), c.expected_seconds, 0.01 * c.expected_seconds)
            << "speed " << c.speed;
        EXPECT_DOUBLE_EQ(pacer.line_seconds(), static_cast<double>(c.bytes) / 960.0);
        for (size_t k = 1; k < clock.waits.size(); ++k)
            EXPECT_LE(clock.waits[k - 1], clock.waits[k]) << "time runs backwards";
    }
}

TEST(ReplayPacing, ChunksKeepFramesTrickling) {
    SimulatedClock clock;
    smdgw::ReplayPacer at_line_speed(1.0, clock.waiter());
    // About 20 ms of line time at a time, so frames arrive with realistic gaps.
    EXPECT_EQ(at_line_speed.chunk_bytes(), 19u);
    smdgw::ReplayPacer slow(0.01, clock.waiter());
    EXPECT_EQ(slow.chunk_bytes(), 1u);
    smdgw::ReplayPacer fast(1e6, clock.waiter());
    EXPECT_EQ(fast.chunk_bytes(), 4096u);
}

TEST(ReplayPacing, SpeedZeroNeverWaits) {
    SimulatedClock clock;
    smdgw::ReplayPacer pacer(0.0, clock.waiter());
    EXPECT_FALSE(pacer.paced());
    replay(pacer, 100000);
    EXPECT_TRUE(clock.waits.empty());
    EXPECT_EQ(pacer.bytes(), 100000u);
}

}  // namespace
