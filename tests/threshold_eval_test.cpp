// Threshold evaluation: limit tables with hysteresis, the [AI] table handed
// to the host's limit check, and analog reports.

#include <gtest/gtest.h>
#include <json/json.h>

#include <boost/date_time/posix_time/conversion.hpp>
#include <string>
#include <vector>

#include "tests/support/driver_fixture.h"
#include "tests/support/family_probe.h"

namespace {

using testsupport::FamilyProbe;
using Harness = testsupport::DriverHarness<FamilyProbe>;

// One limit evaluated over successive rounds.
struct HysteresisCase {
    const char* name;
    bool upper;
    float threshold;
    float recover;
    std::vector<float> values;
    std::vector<bool> active;
};

TEST(ThresholdHysteresis, Sequences) {
    const HysteresisCase cases[] = {
        {"upper",
         true,
         56.5f,
         55.0f,
         {56.4f, 56.5f, 56.0f, 55.1f, 55.0f, 56.0f},
         {false, true, true, true, false, false}},
        {"lower", false, 42.0f, 44.0f, {42.0f, 43.9f, 44.0f}, {true, true, false}},
        {"recover above threshold",
         true,
         50.0f,
         60.0f,
         {50.0f, 50.0f, 50.0f, 50.0f},
         {true, false, true, false}},
        {"recover below threshold, lower",
         false,
         50.0f,
         40.0f,
         {50.0f, 50.0f, 50.0f},
         {true, false, true}},
    };
    for (const HysteresisCase& c : cases) {
        Harness h;
        FamilyProbe::ThresholdMap table;
        table["dc.v"] = ThresholdEntry("4194", c.threshold, c.recover, false, 2);
        for (size_t i = 0; i < c.values.size(); ++i) {
            h.sink.clear();
            h.drv->json_data_["dc.v"] = c.values[i];
            h.drv->CheckSignalThresholdMap(table, c.upper);
            const auto calls = h.sink.calls_named("CheckThresholdBool");
            ASSERT_EQ(1u, calls.size()) << c.name;
            EXPECT_EQ(c.active[i], calls[0]["active"].asBool()) << c.name << " round " << i;
            EXPECT_EQ(c.active[i], std::get<3>(table["dc.v"])) << c.name << " round " << i;
            EXPECT_EQ(c.active[i], !calls[0]["message"].asString().empty()) << c.name;
            EXPECT_EQ(2, calls[0]["level"].asInt());
            EXPECT_EQ("dc.v", calls[0]["key"].asString());
            EXPECT_EQ("4194", calls[0]["alarm_id"].asString());
            EXPECT_EQ(1, calls[0]["seq"].asInt());
        }
    }
}

TEST(ThresholdHysteresis, MessagesAndValueTexts) {
    const struct {
        bool upper;
        float threshold;
        float value;
        const char* value_text;
        const char* message;
    } cases[] = {
        {true, 56.5f, 57.0f, "57", "当前值57高于阈值:56.5"},
        {true, 53.5f, 53.5f, "53.5", "当前值53.5高于阈值:53.5"},
        {false, 0.5f, 0.1f, "0.100000001", "当前值0.100000001低于阈值:0.5"},
        {false, 42.0f, -3.25f, "-3.25", "当前值-3.25低于阈值:42"},
        {true, 1e10f, 2e10f, "2e+10", "当前值2e+10高于阈值:1e+10"},
    };
    for (const auto& c : cases) {
        Harness h;
        FamilyProbe::ThresholdMap table;
        table["s"] = ThresholdEntry("A", c.threshold, c.threshold, false, 1);
        h.drv->json_data_["s"] = c.value;
        h.drv->CheckSignalThresholdMap(table, c.upper);
        const auto calls = h.sink.calls_named("CheckThresholdBool");
        ASSERT_EQ(1u, calls.size());
        EXPECT_EQ(c.value_text, calls[0]["value"].asString());
        EXPECT_EQ(c.message, calls[0]["message"].asString());
    }
}

TEST(ThresholdHysteresis, EntriesWithoutNumericValueAreSkipped) {
    const Json::Value snapshots[] = {Json::Value(), Json::Value(Json::arrayValue),
                                     Json::Value(Json::objectValue)};
    for (const Json::Value& snap : snapshots) {
        Harness h;
        FamilyProbe::ThresholdMap table;
        table["dc.v"] = ThresholdEntry("A", 1.0f, 1.0f, false, 1);
        table["text"] = ThresholdEntry("B", 1.0f, 1.0f, false, 1);
        h.drv->json_data_ = snap;
        if (snap.isObject()) {
            h.drv->json_data_["text"] = "57";
            h.drv->json_data_["other"] = 57;
        }
        h.drv->CheckSignalThresholdMap(table, true);
        EXPECT_TRUE(h.sink.calls.empty());
        EXPECT_EQ(snap.isObject() ? 2u : 0u, h.drv->json_data_.size());
    }
}

// ---- mode 1 ----------------------------------------------------------------------------------

TEST(ThresholdAiTable, AlarmIdsAndHostCalls) {
    Json::Value entry = testsupport::basic_entry();
    entry["reports"]["419601001001"]["change_enabled"] = true;
    entry["reports"]["419601001001"]["change_delta"] = 1.0;
    Harness h(entry);
    h.drv->ai_map_["dc.v"] = {"419401002001", "DC voltage"};
    h.drv->ai_map_["dc.i"] = {"419601001001", "DC current"};  // same alarm ID as dc.v
    h.drv->ai_map_["short"] = {"41940100", "too short"};
    h.drv->ai_map_["absent"] = {"419401003001", "not in the snapshot"};
    h.drv->ai_map_["null"] = {"419401004001", "null in the snapshot"};
    h.drv->json_data_["dc.v"] = 53.5;
    h.drv->json_data_["dc.i"] = 12;
    h.drv->json_data_["short"] = 1;
    h.drv->json_data_["null"] = Json::Value();
    h.drv->CheckAiMap();
    // Key order: dc.i, dc.v.
    ASSERT_EQ((std::vector<std::string>{"CheckThreshold", "CheckAOReport", "CheckThreshold",
                                        "CheckAOReport"}),
              h.sink.call_names());
    const auto& c = h.sink.calls;
    EXPECT_EQ("419601001001", c[0]["alarm_id"].asString());
    EXPECT_EQ("DC current", c[0]["name"].asString());
    EXPECT_EQ(12.0, c[0]["value"].asDouble());
    EXPECT_EQ(1, c[0]["n"].asInt());
    EXPECT_EQ("419601001001", c[1]["signal_id"].asString());
    EXPECT_EQ("419601001001", c[2]["alarm_id"].asString());
    EXPECT_EQ("DC voltage", c[2]["name"].asString());
    EXPECT_EQ(53.5, c[2]["value"].asDouble());
    EXPECT_EQ("419401002001", c[3]["signal_id"].asString());
    EXPECT_EQ(1u, h.drv->ReportSettings().count("419401002001"));  // copied from the template
}

// ---- analog reports --------------------------------------------------------------------------

struct ReportCase {
    const char* name;
    SMDVDevice::BAOSetting setting;
    std::time_t now;
    float value;
    bool reported;
};

enum class By { Change, Percent, Period };

// A setting with one criterion enabled: the delta, the per cent or the minutes.
SMDVDevice::BAOSetting setting(By by, float amount, float last_value, uint32_t last_time = 0) {
    SMDVDevice::BAOSetting s;
    s.change_enabled = by == By::Change;
    s.percent_enabled = by == By::Percent;
    s.period_enabled = by == By::Period;
    (by == By::Change ? s.change_delta : by == By::Percent ? s.percent : s.period_minutes) = amount;
    s.last_value = last_value;
    s.last_time = last_time;
    return s;
}
SMDVDevice::BAOSetting change(float delta, float last) { return setting(By::Change, delta, last); }
SMDVDevice::BAOSetting percent(float pct, float last) { return setting(By::Percent, pct, last); }
SMDVDevice::BAOSetting period(float minutes, uint32_t last_time) {
    return setting(By::Period, minutes, 0.0f, last_time);
}

TEST(AnalogReport, Criteria) {
    const std::time_t t0 = 1700000000;
    const ReportCase cases[] = {
        {"change, within delta above", change(1.0f, 10.0f), t0, 11.0f, false},
        {"change, past delta above", change(1.0f, 10.0f), t0, 11.01f, true},
        {"change, within delta below", change(1.0f, 10.0f), t0, 9.0f, false},
        {"change, past delta below", change(1.0f, 10.0f), t0, 8.99f, true},
        {"percent of 0, non-zero value", percent(10.0f, 0.0f), t0, 0.001f, true},
        {"percent of 0, negative value", percent(10.0f, 0.0f), t0, -0.001f, true},
        {"percent of 0, zero", percent(10.0f, 0.0f), t0, 0.0f, false},
        {"percent of -10, same value", percent(10.0f, -10.0f), t0, -10.0f, true},
        {"percent of 100, within", percent(10.0f, 100.0f), t0, 110.0f, false},
        {"percent of 100, past", percent(10.0f, 100.0f), t0, 110.01f, true},
        {"percent of 100, below", percent(10.0f, 100.0f), t0, 89.99f, true},
        // Times near 1.7e9 s are resolved in 128 s steps after conversion to float.
        {"period, 63 s after", period(1.0f, t0), t0 + 63, 0.0f, false},
        {"period, 64 s after", period(1.0f, t0), t0 + 64, 0.0f, false},
        {"period, 65 s after", period(1.0f, t0), t0 + 65, 0.0f, true},
        {"nothing enabled", SMDVDevice::BAOSetting(), t0 + 100000, 1e6f, false},
    };
    for (const ReportCase& c : cases) {
        Harness h;
        h.clock.set(boost::posix_time::from_time_t(c.now));
        h.drv->ReportSettings()["S"] = c.setting;
        EXPECT_EQ(c.reported, h.drv->CheckAOReport("T", "S", c.value)) << c.name;
        const auto calls = h.sink.calls_named("CheckAOReport");
        ASSERT_EQ(c.reported ? 1u : 0u, calls.size()) << c.name;
        const SMDVDevice::BAOSetting s = h.drv->ReportSettings()["S"];
        if (c.reported) {
            EXPECT_EQ("S", calls[0]["signal_id"].asString());
            EXPECT_EQ(c.value, s.last_value) << c.name;
            EXPECT_EQ(static_cast<uint32_t>(c.now), s.last_time) << c.name;
        } else {
            EXPECT_EQ(c.setting.last_value, s.last_value) << c.name;
            EXPECT_EQ(c.setting.last_time, s.last_time) << c.name;
        }
    }
}

TEST(AnalogReport, TemplateIsCopiedForANewSignal) {
    Harness h;
    h.clock.set(boost::posix_time::from_time_t(1700000000));
    SMDVDevice::BAOSetting tpl = change(1.0f, 50.0f);
    tpl.last_time = 1600000000;
    h.drv->ReportSettings()["T"] = tpl;
    // Compared against the template's last value: 50.5 is within the delta.
    EXPECT_FALSE(h.drv->CheckAOReport("T", "S", 50.5f));
    ASSERT_EQ(1u, h.drv->ReportSettings().count("S"));
    EXPECT_EQ(1600000000u, h.drv->ReportSettings()["S"].last_time);
    EXPECT_TRUE(h.drv->CheckAOReport("T", "S", 52.0f));
    EXPECT_EQ(52.0f, h.drv->ReportSettings()["S"].last_value);
    EXPECT_EQ(50.0f, h.drv->ReportSettings()["T"].last_value);  // the template stays
}

TEST(AnalogReport, NoSettingNoReport) {
    Harness h;
    EXPECT_FALSE(h.drv->CheckAOReport("T", "S", 1.0f));
    EXPECT_TRUE(h.drv->ReportSettings().empty());
    EXPECT_TRUE(h.sink.calls.empty());
}

}  // namespace
