// Every alarm of the driver's rule tables has an English meaning, found by
// alarm ID and key, and numbered alarms keep their number in it.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "host/alarm_english.h"
#include "plugin/capture_alarm_tables.h"
#include "pmbuspower/alarm_rule_tables.h"
#include "record/veltra_record.h"

namespace {

using smd::alarm_english;

std::string three(unsigned n) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%03u", n % 1000);
    return buf;
}

bool ascii(const std::string& s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// A meaning exists, is plain English and names the instance when given.
void expect_meaning(const std::string& id, const std::string& key, const std::string& message,
                    unsigned instance = 0) {
    const std::string e = alarm_english(id, key, message);
    SCOPED_TRACE(message + " (" + id + ") -> " + e);
    EXPECT_FALSE(e.empty());
    EXPECT_TRUE(ascii(e));
    if (instance) {
        EXPECT_NE(e.find(" " + std::to_string(instance)), std::string::npos);
    }
}

TEST(AlarmEnglish, EveryAlarmOfTheRuleTablesHasAMeaning) {
    using namespace pmbus_rules;
    expect_meaning(kInputPowerAlarm.alarm_id, kInputPowerAlarm.key, kInputPowerAlarm.message);
    // The communication alarm comes with the message "通信异常".
    expect_meaning("120600180010", "120600180010", "通信异常");
    for (const AcFixedRule& r : kAcFixedRules) expect_meaning(r.alarm_id, r.alarm_id, r.message);
    for (const DcFixedRule& r : kDcPanel1Rules) expect_meaning(r.alarm_id, r.alarm_id, r.message);
    for (const DcFixedRule& r : kDcPanel2Rules) expect_meaning(r.alarm_id, r.alarm_id, r.message);
    for (unsigned m : {1u, 12u, unsigned(kRcChannels)}) {
        const std::string fault = std::string(kRectifierFault.id_head) + three(m);
        expect_meaning(fault, fault,
                       std::string(kRectifierFault.message_head) + kRectifierFault.message_tail, m);
        for (const NumberedAlarm& a : kRectifierRunning) {
            const std::string id = a.id_head + three(m) + a.id_tail;
            expect_meaning(id, id, std::string(a.message_head) + three(m) + a.message_tail, m);
        }
        for (const capture_rules::StatusAlarm& a : capture_rules::kRectifierAlarms)
            expect_meaning(a.alarm_id, a.key, "模块" + std::to_string(m) + a.message, m);
    }
    for (unsigned f = 1; f <= veltra_dc_t::ALERT_M_SIZE(); ++f)
        for (const NumberedAlarm* a : {&kFusePanel1, &kFusePanel2}) {
            const std::string id = a->id_head + three(f + a->id_offset) + a->id_tail;
            expect_meaning(id, id, std::string(a->message_head) + three(f) + a->message_tail, f);
        }
    for (unsigned i = 1; i <= kAcChannels; ++i)
        for (const capture_rules::StatusAlarm& a : capture_rules::kAcStatusAlarms)
            expect_meaning(a.alarm_id, a.key, "第" + std::to_string(i) + "路交流输入-" + a.message, i);
}

TEST(AlarmEnglish, NumberedAlarmsCarryTheirNumber) {
    EXPECT_EQ(alarm_english("419410701", "p40_44_0", "第1路交流输入-交流输入空开跳"),
              "AC input 1: breaker tripped");
    // One ID, three rules: the key tells them apart.
    EXPECT_EQ(alarm_english("419415001", "p40_44_4", "第2路交流输入-交流输入2停电"),
              "AC input 2: supply 2 power failure");
    EXPECT_EQ(alarm_english("419415001", "PowerOff", "输入电源中断告警"), "Input power interrupted");
    EXPECT_EQ(alarm_english("419430501", "K418TRC_0", "模块12模块故障告警状态"),
              "Module 12: fault alarm");
    EXPECT_EQ(alarm_english("419431C01", "K418TRC_1", "模块7模块风扇告警"), "Module 7: fan alarm");
    EXPECT_EQ(alarm_english("419430501012", "419430501012", "模块故障告警"), "Module 12: fault alarm");
    EXPECT_EQ(alarm_english("120600690030", "120600690030", "003#48V整流模块运行告警"),
              "Rectifier module 3: running alarm");
    EXPECT_EQ(alarm_english("120600470190", "120600470190", "直流屏2001负载熔丝故障告警"),
              "DC panel 2: load fuse 1 blown");
    EXPECT_EQ(alarm_english("210600320010", "210600320010", "48V直流系统直流总电压过低告警"),
              "48 V DC system: DC bus voltage low");
    // Configured thresholds carry their numbers.
    EXPECT_EQ(alarm_english("x", "x", "当前值57高于阈值:56.5"),
              "Current value 57 above threshold 56.5");
    EXPECT_EQ(alarm_english("x", "x", "当前值0.100000001低于阈值:1"),
              "Current value 0.100000001 below threshold 1");
    // The host's own messages are English already; empty stays empty.
    EXPECT_EQ(alarm_english("419620301001", "419620301001", "419620301001 above 56"),
              "419620301001 above 56");
    EXPECT_EQ(alarm_english("smdgw-section-dc", "section_missing", "no data from the DC panel"),
              "no data from the DC panel");
    EXPECT_EQ(alarm_english("x", "x", ""), "");
    // An ID nobody knows is not guessed at from its message.
    EXPECT_EQ(alarm_english("x", "K418TRC_1", "模块7模块风扇告警"), "");
    EXPECT_EQ(alarm_english("x", "x", "当前值57"), "");
}

}  // namespace

#include "tests/support/run_process.h"
#include "tests/support/smdgw_run.h"
#include "tests/support/temp_dir.h"

namespace {

// A tripped breaker on the line: the JSON alarm event carries its meaning and
// the text view shows it with --lang en.
TEST(AlarmEnglish, AlarmEventsAndTheTextViewCarryTheMeaning) {
    testsupport::TempDir dir;
    const std::string cap = (dir.path() / "breaker.cap").string();
    const auto sim = testsupport::run_process(
        {POWERSIM_PATH, "--out", cap, "--rounds", "2", "--fault", "breaker-trip:1@1-"});
    ASSERT_EQ(sim.status, 0) << sim.err;
    const std::string cfg =
        dir.write_s("gw.json", R"({"devices":[{"name":"plant1","data_id":418,"address":1}]})");
    const std::string log = (dir.path() / "driver.log").string();

    const auto json = testsupport::run_smdgw({"--config", cfg, "--replay", cap, "--log", log});
    ASSERT_EQ(json.status, 0) << json.err;
    const auto alarms = testsupport::events(testsupport::json_lines(json.out), "alarm");
    ASSERT_FALSE(alarms.empty());
    for (const auto& a : alarms)
        EXPECT_EQ(a["english"].asString(),
                  alarm_english(a["alarm_id"].asString(), a["key"].asString(),
                                a["message"].asString()));
    EXPECT_EQ(alarms[0]["english"].asString(), "AC input 1: breaker tripped");

    const auto en = testsupport::run_smdgw(
        {"--config", cfg, "--replay", cap, "--log", log, "--format", "text", "--lang", "en"});
    ASSERT_EQ(en.status, 0) << en.err;
    EXPECT_NE(en.out.find("alarm raised:  AC input 1: breaker tripped (419410701)"),
              std::string::npos)
        << en.out;
    EXPECT_EQ(en.out.find("交流输入空开跳"), std::string::npos);
    const auto zh = testsupport::run_smdgw(
        {"--config", cfg, "--replay", cap, "--log", log, "--format", "text"});
    EXPECT_NE(zh.out.find("alarm raised:  第1路交流输入-交流输入空开跳 (419410701)"),
              std::string::npos)
        << zh.out;
    EXPECT_EQ(testsupport::run_smdgw({"--config", cfg, "--replay", cap, "--lang", "fr"}).status,
              2);
}

}  // namespace
