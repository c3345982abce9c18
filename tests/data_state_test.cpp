// Device states: never, live, stale after "stale_after_s" of monotonic time,
// restored until a live round, no-port while the port is closed; a step of
// the wall clock changes nothing.

#include "host/data_state.h"

#include <gtest/gtest.h>

namespace {

TEST(DataState, FromNeverThroughRestoredLiveStaleAndNoPort) {
    DataStateTracker t(120.0);
    EXPECT_EQ(t.state(), DataState::Never);
    EXPECT_TRUE(t.restored_round(0.0, 1000));
    EXPECT_EQ(t.state(), DataState::Restored);
    EXPECT_FALSE(t.last_live().has_value());
    EXPECT_TRUE(t.live_round(5.0, 1005, false));
    EXPECT_EQ(t.state(), DataState::Live);
    EXPECT_EQ(t.since(), 1005);
    EXPECT_FALSE(t.last_complete().has_value()) << "a damaged round is not complete";
    EXPECT_FALSE(t.live_round(10.0, 1010, true));
    EXPECT_EQ(*t.last_complete(), 1010);
    // The wall clock jumps back an hour: ages run on the monotonic clock.
    EXPECT_FALSE(t.tick(130.0, 1010 - 3600 + 120));
    EXPECT_EQ(t.state(), DataState::Live) << "exactly stale_after_s is not older";
    EXPECT_TRUE(t.tick(130.5, 1010 - 3600 + 121));
    EXPECT_EQ(t.state(), DataState::Stale);
    EXPECT_TRUE(t.port_open(false, 140.0, 2000));
    EXPECT_EQ(t.state(), DataState::NoPort);
    EXPECT_FALSE(t.live_round(141.0, 2001, true)) << "no port wins";
    EXPECT_TRUE(t.port_open(true, 142.0, 2002));
    EXPECT_EQ(t.state(), DataState::Live);
    EXPECT_STREQ(data_state_name(DataState::NoPort), "no-port");
    EXPECT_STREQ(data_state_name(DataState::Restored), "restored");
}

TEST(DataState, AWallClockStepForwardDoesNotMakeALiveDeviceStale) {
    DataStateTracker t(120.0);
    t.live_round(0.0, 1000, true);
    EXPECT_FALSE(t.tick(1.0, 1000 + 86400));
    EXPECT_EQ(t.state(), DataState::Live);
}

}  // namespace
