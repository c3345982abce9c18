// Communication alarm: raised 120 s after the last round, cleared by every
// round, skipped when not configured; Reset flushes the rule batch.

#include <gtest/gtest.h>
#include <json/json.h>

#include <string>

#include "tests/support/driver_fixture.h"
#include "tests/support/family_probe.h"

namespace {

using testsupport::FamilyProbe;
using Harness = testsupport::DriverHarness<FamilyProbe>;

Json::Value entry_with_level(int level) {
    Json::Value e = testsupport::basic_entry();
    e["alarm_levels"]["120600180010"] = level;
    return e;
}

class CommAlarm : public ::testing::Test {
   protected:
    // Reset at `age` seconds after the last round; returns its log.
    std::string reset_at(Harness& h, long age) {
        h.drv->SetLastRoundTime(h.clock.local_time() - boost::posix_time::seconds(age));
        h.sink.clear();
        testing::internal::CaptureStdout();
        EXPECT_EQ(1, h.drv->Reset());
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(CommAlarm, RaisedFrom120Seconds) {
    const struct {
        long age;
        bool active;
        const char* origin;
    } cases[] = {{0, false, "rounddone"},
                 {119, false, "rounddone"},
                 {120, true, "refreshstatus"},
                 {100000, true, "refreshstatus"},
                 {-30, false, "rounddone"}};
    testing::internal::CaptureStdout();
    Harness h(entry_with_level(3));
    testing::internal::GetCapturedStdout();
    for (const auto& c : cases) {
        const std::string log = reset_at(h, c.age);
        EXPECT_EQ(std::string("pmbuspower_419 data_id:418 reset called\ndata_id:418 reset from ") +
                      c.origin + "\n",
                  log);
        const auto calls = h.sink.calls_named("CheckThresholdBool");
        ASSERT_EQ(1u, calls.size());
        EXPECT_EQ(3, calls[0]["level"].asInt());
        EXPECT_EQ("120600180010", calls[0]["key"].asString());
        EXPECT_EQ("120600180010", calls[0]["alarm_id"].asString());
        EXPECT_EQ("设备智能口通信状态告警", calls[0]["value"].asString());
        EXPECT_EQ("通信异常", calls[0]["message"].asString());
        EXPECT_EQ(c.active, calls[0]["active"].asBool()) << c.age;
        EXPECT_EQ(1, calls[0]["seq"].asInt());
        EXPECT_EQ(1u, h.sink.calls_named("DoBatchCheckThreshold").size());
        EXPECT_TRUE(h.drv->RuleBatch().empty());
    }
}

TEST_F(CommAlarm, ClearedByTheNextRound) {
    testing::internal::CaptureStdout();
    Harness h(entry_with_level(3));
    testing::internal::GetCapturedStdout();
    reset_at(h, 300);
    ASSERT_EQ(1u, h.sink.events_named("alarm").size());
    EXPECT_EQ("raised", h.sink.events_named("alarm")[0]["state"].asString());
    h.sink.clear();
    testing::internal::CaptureStdout();
    h.drv->RoundDone();
    testing::internal::GetCapturedStdout();
    const auto alarms = h.sink.events_named("alarm");
    ASSERT_EQ(1u, alarms.size());
    EXPECT_EQ("cleared", alarms[0]["state"].asString());
}

TEST_F(CommAlarm, NotConfigured) {
    for (const Json::Value& entry : {testsupport::basic_entry(), entry_with_level(0)}) {
        testing::internal::CaptureStdout();
        Harness h(entry);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ("pmbuspower_419 data_id:418 reset called\n", reset_at(h, 500));
        EXPECT_TRUE(h.sink.calls.empty());
        EXPECT_EQ(1u, h.drv->AlarmLevels().count("120600180010"));
    }
}

TEST_F(CommAlarm, FlushesAPendingBatch) {
    for (int level : {0, 3}) {
        testing::internal::CaptureStdout();
        Harness h(entry_with_level(level));
        testing::internal::GetCapturedStdout();
        h.drv->CheckThresholdBool(1, "k1", "a1", "v", "m", true, 1);
        h.drv->CheckThresholdBool(1, "k2", "a2", "v", "m", false, 1);
        reset_at(h, 10);
        const auto flushes = h.sink.calls_named("DoBatchCheckThreshold");
        ASSERT_EQ(1u, flushes.size());
        EXPECT_EQ(level ? 3u : 2u, flushes[0]["size"].asUInt());
        EXPECT_TRUE(h.drv->RuleBatch().empty());
        ASSERT_EQ(1u, h.sink.events_named("alarm").size());  // a1 raised
        EXPECT_EQ("a1", h.sink.events_named("alarm")[0]["alarm_id"].asString());
    }
}

}  // namespace
