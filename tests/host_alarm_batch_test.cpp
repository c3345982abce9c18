// The host's alarm services: the rule batch, alarm states kept by key, alarm
// ID and sequence, limit checks and the events they produce.

#include <gtest/gtest.h>

#include "host/smd_vdevice.h"
#include "tests/support/recording_sink.h"

namespace {

struct Host : SMDVDevice {
    testsupport::RecordingSink sink;
    Host() { SetSink(&sink); }
    // Flushes the batch the way a driver does after a round.
    uint8_t flush() {
        const uint8_t r = DoBatchCheckThreshold(rule_batch_);
        rule_batch_.clear();
        return r;
    }
};

TEST(HostAlarmBatch, ReportsOnlyChangesOfState) {
    Host h;
    h.CheckThresholdBool(3, "K", "419430501", "1", "模块1模块故障告警状态", false, 15);
    EXPECT_EQ(h.flush(), 0);
    EXPECT_TRUE(h.sink.events_named("alarm").empty()) << "a clear alarm starts cleared";

    h.CheckThresholdBool(3, "K", "419430501", "1", "模块1模块故障告警状态", true, 15);
    EXPECT_EQ(h.flush(), 1);
    h.CheckThresholdBool(3, "K", "419430501", "1", "模块1模块故障告警状态", true, 15);
    h.flush();
    h.CheckThresholdBool(3, "K", "419430501", "1", "模块1模块故障告警状态", false, 15);
    h.flush();

    const auto alarms = h.sink.events_named("alarm");
    ASSERT_EQ(alarms.size(), 2u);
    EXPECT_EQ(alarms[0]["state"].asString(), "raised");
    EXPECT_EQ(alarms[0]["message"].asString(), "模块1模块故障告警状态");
    EXPECT_EQ(alarms[0]["level"].asInt(), 3);
    EXPECT_EQ(alarms[0]["seq"].asInt(), 15);
    EXPECT_EQ(alarms[1]["state"].asString(), "cleared");
    EXPECT_EQ(alarms[1]["message"].asString(), "模块1模块故障告警状态");
}

TEST(HostAlarmBatch, SequenceTellsSharedIdsApart) {
    Host h;
    // Same key and alarm ID on two modules: two alarms.
    h.CheckThresholdBool(3, "K418TRC_0", "419430501", "1", "模块1模块故障告警状态", true, 15);
    h.CheckThresholdBool(3, "K418TRC_0", "419430501", "1", "模块2模块故障告警状态", true, 19);
    h.flush();
    EXPECT_EQ(h.sink.events_named("alarm").size(), 2u);
    EXPECT_EQ(h.ActiveAlarmMessages().size(), 2u);
}

TEST(HostAlarmBatch, LimitChecksUseConfiguredLimits) {
    Host h;
    h.Limits()["419620301001"] = {true, 57.0f, true, 43.0f};
    const float high = 57.5f, ok = 53.5f, none = 99.0f;
    h.CheckThreshold("419620301001", "", high, 1);
    h.CheckThreshold("419999999999", "", none, 1);  // no limits held: nothing to check
    EXPECT_EQ(h.RuleBatch().size(), 1u);
    EXPECT_EQ(h.flush(), 1);
    h.CheckThreshold("419620301001", "", ok, 1);
    h.flush();
    const auto alarms = h.sink.events_named("alarm");
    ASSERT_EQ(alarms.size(), 2u);
    EXPECT_EQ(alarms[0]["state"].asString(), "raised");
    EXPECT_EQ(alarms[0]["message"].asString(), "419620301001 above 57");
    EXPECT_EQ(alarms[1]["state"].asString(), "cleared");
}

TEST(HostAlarmBatch, TracesEveryCallInOrder) {
    Host h;
    const float v = 1.5f;
    h.CheckThreshold("A", "name", v, 1);
    h.CheckThresholdBool(1, "k", "B", "t", "m", true, 2);
    h.CheckAOReport("419120300001", 53.5f);
    h.flush();
    EXPECT_EQ(h.sink.call_names(),
              (std::vector<std::string>{"CheckThreshold", "CheckThresholdBool", "CheckAOReport",
                                        "DoBatchCheckThreshold"}));
    const auto b = h.sink.calls_named("CheckThresholdBool")[0];
    EXPECT_EQ(b["level"].asInt(), 1);
    EXPECT_EQ(b["key"].asString(), "k");
    EXPECT_EQ(b["alarm_id"].asString(), "B");
    EXPECT_EQ(b["value"].asString(), "t");
    EXPECT_EQ(b["message"].asString(), "m");
    EXPECT_TRUE(b["active"].asBool());
    EXPECT_EQ(b["seq"].asInt(), 2);
    EXPECT_EQ(h.sink.calls_named("DoBatchCheckThreshold")[0]["size"].asInt(), 1);
    ASSERT_EQ(h.sink.events_named("report").size(), 1u);
    EXPECT_EQ(h.sink.events_named("report")[0]["signal_id"].asString(), "419120300001");
}

TEST(HostAlarmBatch, InitLoadsTablesFromTheDeviceEntry) {
    Json::Value e;
    e["name"] = "dev";
    e["data_id"] = 7;
    e["alarm_levels"]["120600180010"] = 3;
    e["alarm_thresholds"]["210600320010"] = 47.5;
    e["limits"]["419620301001"]["upper"] = 57;
    e["reports"]["419620301001"]["change_enabled"] = true;
    e["reports"]["419620301001"]["change_delta"] = 0.5;
    Host h;
    h.Init({}, 0, e);
    EXPECT_EQ(h.Name(), "dev");
    EXPECT_EQ(h.DataId(), 7u);
    EXPECT_EQ(h.AlarmLevels()["120600180010"], 3);
    EXPECT_FLOAT_EQ(h.AlarmValues()["210600320010"], 47.5f);
    EXPECT_TRUE(h.Limits()["419620301001"].has_upper);
    EXPECT_FALSE(h.Limits()["419620301001"].has_lower);
    EXPECT_TRUE(h.ReportSettings()["419620301001"].change_enabled);
    EXPECT_FLOAT_EQ(h.ReportSettings()["419620301001"].change_delta, 0.5f);
}

}  // namespace
