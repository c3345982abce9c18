// The data snapshot: member names by record path, arrays cut to their
// counts, panel 2 only when reported, and thresholds that fire from it.

#include <gtest/gtest.h>
#include <json/json.h>

#include <set>
#include <string>
#include <vector>

#include "tests/support/driver_fixture.h"
#include "tests/support/family_probe.h"
#include "tests/support/threshold_config.h"

namespace {

using testsupport::FamilyProbe;
using Harness = testsupport::DriverHarness<FamilyProbe>;

std::set<std::string> names_of(const Json::Value& v) {
    const auto n = v.getMemberNames();
    return {n.begin(), n.end()};
}

const std::set<std::string> kAlwaysPresent = {"out_v", "ac.ia", "ac.ib", "ac.ic", "dc.v", "dc.i"};

TEST(DataSnapshot, ZeroRecordHoldsOnlyFixedFields) {
    Harness h;
    h.drv->GenJsonData();
    EXPECT_EQ(kAlwaysPresent, names_of(h.drv->json_data_));
}

TEST(DataSnapshot, NamesFollowRecordPathsAndCounts) {
    Harness h;
    auto& rec = h.drv->cData;
    rec.out_v = 53.5f;
    rec.ac.ia = 1.5f;
    rec.ac.channel_count = 2;
    rec.ac_channels[1].f = 50.0f;
    rec.channel_count = 2;
    rec.channels[0].out_i = 12.0f;
    rec.channels[0].p41_41_count = 3;
    rec.channels[0].p41_41[2] = 7.0f;
    rec.channels[1].p41_41_count = 0;
    rec.dc.v = 53.25f;
    rec.dc.m = 2;
    rec.dc.dc_i[1] = 4.0f;
    rec.dc.p_count = 4;
    rec.dc.p[3] = -2.0f;
    rec.dc2.v = 99.0f;
    h.drv->dc_number = 1;
    h.drv->GenJsonData();
    std::set<std::string> expected = kAlwaysPresent;
    for (const char* n :
         {"ac_channels[0].a", "ac_channels[0].b", "ac_channels[0].c", "ac_channels[0].f",
          "ac_channels[1].a", "ac_channels[1].b", "ac_channels[1].c", "ac_channels[1].f",
          "channels[0].out_i", "channels[0].p41_41[0]", "channels[0].p41_41[1]",
          "channels[0].p41_41[2]", "channels[1].out_i", "dc.dc_i[0]", "dc.dc_i[1]", "dc.p[0]",
          "dc.p[1]", "dc.p[2]", "dc.p[3]"})
        expected.insert(n);
    const Json::Value& s = h.drv->json_data_;
    EXPECT_EQ(expected, names_of(s));
    const struct {
        const char* name;
        double value;
    } values[] = {{"out_v", 53.5},
                  {"ac.ia", 1.5},
                  {"ac_channels[1].f", 50},
                  {"channels[0].out_i", 12},
                  {"channels[0].p41_41[2]", 7},
                  {"dc.v", 53.25},
                  {"dc.dc_i[1]", 4},
                  {"dc.p[3]", -2}};
    for (const auto& v : values) EXPECT_EQ(v.value, s[v.name].asDouble()) << v.name;
}

TEST(DataSnapshot, CountsBeyondArraysAreBounded) {
    Harness h;
    auto& rec = h.drv->cData;
    rec.ac.channel_count = 200;
    rec.channel_count = 255;
    for (auto& ch : rec.channels) ch.p41_41_count = 9;
    rec.dc.m = 5;
    rec.dc.p_count = 99;
    rec.dc2.m = 255;
    rec.dc2.p_count = 255;
    h.drv->dc_number = 2;
    h.drv->GenJsonData();
    const Json::Value& s = h.drv->json_data_;
    // out_v and ac 4, 2 inputs x 4, 40 modules x (1 + 7), per panel 2 + 2 + 27.
    EXPECT_EQ(4u + 2u * 4u + 40u * 8u + 2u * 31u, s.size());
    EXPECT_TRUE(s.isMember("channels[39].p41_41[6]"));
    EXPECT_FALSE(s.isMember("channels[40].out_i"));
    EXPECT_FALSE(s.isMember("channels[0].p41_41[7]"));
    EXPECT_TRUE(s.isMember("dc2.p[26]"));
    EXPECT_FALSE(s.isMember("dc2.p[27]"));
    EXPECT_FALSE(s.isMember("dc.dc_i[2]"));
}

TEST(DataSnapshot, SecondPanelOnlyWhenReported) {
    Harness h;
    h.drv->cData.dc2.v = 52.0f;
    h.drv->dc_number = 2;
    h.drv->GenJsonData();
    EXPECT_EQ(52.0, h.drv->json_data_["dc2.v"].asDouble());
    EXPECT_TRUE(h.drv->json_data_.isMember("dc2.i"));
    // A later round with one panel drops panel 2 from the snapshot.
    h.drv->dc_number = 1;
    h.drv->GenJsonData();
    EXPECT_FALSE(h.drv->json_data_.isMember("dc2.v"));
}

// A mode 5 limit on the DC bus voltage, raised and cleared by the host
// across rounds.
TEST(DataSnapshot, Mode5LimitOnDcVoltageFiresAndClears) {
    Json::Value entry = testsupport::basic_entry();
    entry["appSetting"]["b_mode"] = 5;
    entry["thresholdSetting"]["bus"] =
        testsupport::limit_setting("419401", "dc.v", "Up", 56.5, 55, 2);
    testing::internal::CaptureStdout();
    Harness h(entry);
    testing::internal::GetCapturedStdout();
    const float volts[] = {56.4f, 56.5f, 56.0f, 55.1f, 55.0f, 56.0f};
    const char* expected[] = {nullptr, "raised", nullptr, nullptr, "cleared", nullptr};
    for (size_t i = 0; i < 6; ++i) {
        h.sink.clear();
        h.drv->cData.dc.v = volts[i];
        testing::internal::CaptureStdout();
        h.drv->RoundDone();
        testing::internal::GetCapturedStdout();
        h.clock.advance(10);
        const auto alarms = h.sink.events_named("alarm");
        if (expected[i] == nullptr) {
            EXPECT_TRUE(alarms.empty()) << "round " << i;
            continue;
        }
        ASSERT_EQ(1u, alarms.size()) << "round " << i;
        EXPECT_EQ(expected[i], alarms[0]["state"].asString());
        EXPECT_EQ("419401001", alarms[0]["alarm_id"].asString());
        EXPECT_EQ("dc.v", alarms[0]["key"].asString());
        EXPECT_EQ(2, alarms[0]["level"].asInt());
        if (i == 1) {
            EXPECT_EQ("当前值56.5高于阈值:56.5", alarms[0]["message"].asString());
        }
    }
}

}  // namespace
