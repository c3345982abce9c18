// The family's fixed alarm rules: threshold mode 1 (host limits, input power,
// module faults) and mode 2 (fixed-text alarms), call for call.

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "tests/support/alarm_calls.h"

namespace {

using testsupport::bool_line;
using testsupport::fixed_line;
using testsupport::limit_line;
using testsupport::report_line;
using testsupport::RuleHarness;
using Lines = std::vector<std::string>;

const float kNaN = std::numeric_limits<float>::quiet_NaN();

const std::string kPowerOff = "输入电源中断告警";

std::string power_line(bool active) {
    return bool_line(1, "PowerOff", "419415001", kPowerOff, kPowerOff, active, 100);
}

void set_wired(RuleHarness& h, const std::string& wired) {
    h.d().has_a = wired.find('a') != std::string::npos;
    h.d().has_b = wired.find('b') != std::string::npos;
    h.d().has_c = wired.find('c') != std::string::npos;
}

void set_phases(veltra_ac_channel_t& ch, float a, float b, float c, float f) {
    ch.a = a;
    ch.b = b;
    ch.c = c;
    ch.f = f;
}

// ---- Mode 1 -----------------------------------------------------------------------------------

TEST(FamilyRulesMode1, NoInputDecodedIsInterruptedAndStillChecksTheZeroValues) {
    RuleHarness h;
    h.rec().dc.i = 12.5f;
    h.rec().dc.v = 53.5f;
    EXPECT_EQ((Lines{power_line(true), limit_line("419610401001", 0), limit_line("419610401002", 0),
                     limit_line("419610401003", 0), limit_line("419613901001", 0),
                     limit_line("419620401001", 12.5), limit_line("419620301001", 53.5)}),
              h.run());
}

struct PowerCase {
    const char* what;
    const char* wired;  // the wired phases, "abc"
    uint8_t inputs;
    float ch0[3];
    float ch1[3];
    bool interrupted;
};

TEST(FamilyRulesMode1, InputPowerNeedsOneInputWithEveryWiredPhaseAbove120) {
    // clang-format off
    const PowerCase cases[] = {
        {"second input qualifies",      "b",   2,   {0, 120.0f, 0},    {0, 121, 0},     false},
        {"120 V exactly is not above",  "b",   1,   {0, 120.0f, 0},    {0, 121, 0},     true},
        {"one phase low on each input", "abc", 2,   {230, 230, 100},   {100, 230, 230}, true},
        {"all wired phases up",         "abc", 1,   {230, 231, 229},   {0, 0, 0},       false},
        {"unwired phase ignored",       "ab",  1,   {230, 231, 0},     {0, 0, 0},       false},
        {"no phase wired, one input",   "",    1,   {0, 0, 0},         {0, 0, 0},       false},
        {"no phase wired, no input",    "",    0,   {230, 230, 230},   {0, 0, 0},       true},
        {"NaN is not above",            "a",   1,   {kNaN, 0, 0},      {0, 0, 0},       true},
        {"count beyond capacity",       "abc", 200, {0, 0, 0},         {230, 230, 230}, false},
    };
    // clang-format on
    for (const PowerCase& c : cases) {
        RuleHarness h;
        set_wired(h, c.wired);
        h.d().has_dc = false;
        h.rec().ac.channel_count = c.inputs;
        set_phases(h.rec().ac_channels[0], c.ch0[0], c.ch0[1], c.ch0[2], 50);
        set_phases(h.rec().ac_channels[1], c.ch1[0], c.ch1[1], c.ch1[2], 50);
        const Lines lines = h.run();
        ASSERT_FALSE(lines.empty()) << c.what;
        EXPECT_EQ(power_line(c.interrupted), lines.front()) << c.what;
    }
}

TEST(FamilyRulesMode1, AcLineSelectsTheInputAndAcTypeTheIdSeries) {
    struct Case {
        int ac_line, ac_type;
        Lines expected;
    };
    const Case cases[] = {
        {1,
         0,
         {limit_line("419610401001", 220), limit_line("419610401002", 221),
          limit_line("419610401003", 222), limit_line("419613901001", 50)}},
        {2,
         0,
         {limit_line("419610401001", 230), limit_line("419610401002", 231),
          limit_line("419610401003", 232), limit_line("419613901001", 49.5)}},
        {2,
         1,
         {limit_line("419610801001", 230), limit_line("419610801002", 231),
          limit_line("419610801003", 232), limit_line("419613901001", 49.5)}},
        {1,
         -3,
         {limit_line("419610801001", 220), limit_line("419610801002", 221),
          limit_line("419610801003", 222), limit_line("419613901001", 50)}},
    };
    for (const Case& c : cases) {
        RuleHarness h;
        h.d().has_dc = false;
        h.d().ac_line = c.ac_line;
        h.d().ac_type = c.ac_type;
        h.rec().ac.channel_count = 2;
        set_phases(h.rec().ac_channels[0], 220, 221, 222, 50);
        set_phases(h.rec().ac_channels[1], 230, 231, 232, 49.5f);
        Lines expected{power_line(false)};
        expected.insert(expected.end(), c.expected.begin(), c.expected.end());
        EXPECT_EQ(expected, h.run()) << "ac_line " << c.ac_line << " ac_type " << c.ac_type;
    }
}

TEST(FamilyRulesMode1, OtherAcLineChecksBothInputsAndSkipsUnwiredPhases) {
    RuleHarness h;
    h.d().has_dc = false;
    h.d().ac_line = 0;
    h.rec().ac.channel_count = 2;
    set_phases(h.rec().ac_channels[0], 220, 221, 222, 50);
    set_phases(h.rec().ac_channels[1], 230, 231, 232, 49.5f);
    EXPECT_EQ(
        (Lines{power_line(false), limit_line("419610401001", 220), limit_line("419610401002", 221),
               limit_line("419610401003", 222), limit_line("419610401004", 230),
               limit_line("419610401005", 231), limit_line("419610401006", 232),
               limit_line("419613901001", 50), limit_line("419613901002", 49.5)}),
        h.run());

    h.d().has_b = false;
    h.d().ac_type = 1;
    EXPECT_EQ(
        (Lines{power_line(false), limit_line("419610801001", 220), limit_line("419610801003", 222),
               limit_line("419610801004", 230), limit_line("419610801006", 232),
               limit_line("419613901001", 50), limit_line("419613901002", 49.5)}),
        h.run());
}

TEST(FamilyRulesMode1, SecondDcPanelOnlyWhenReported) {
    RuleHarness h;
    h.d().has_ac = false;
    h.rec().dc.i = 10;
    h.rec().dc.v = 53.5f;
    h.rec().dc2.i = 20;
    h.rec().dc2.v = 54;
    h.d().dc_number = 1;
    EXPECT_EQ((Lines{limit_line("419620401001", 10), limit_line("419620301001", 53.5)}), h.run());
    h.d().dc_number = 2;
    EXPECT_EQ((Lines{limit_line("419620401001", 10), limit_line("419620301001", 53.5),
                     limit_line("419620401002", 20), limit_line("419620301002", 54)}),
              h.run());
    h.d().has_dc = false;
    EXPECT_EQ(Lines{}, h.run());
}

TEST(FamilyRulesMode1, ModuleFaultsOnePerModule) {
    RuleHarness h;
    h.d().has_ac = false;
    h.d().has_dc = false;
    h.rec().channel_count = 3;
    h.rec().channels[1].fault = 0x05;
    const std::string msg = "模块故障告警";
    EXPECT_EQ((Lines{bool_line(1, "419430501001", "419430501001", "419430501001", msg, false, 1),
                     bool_line(1, "419430501002", "419430501002", "419430501002", msg, true, 1),
                     bool_line(1, "419430501003", "419430501003", "419430501003", msg, false, 1)}),
              h.run());

    // A cached record with an impossible count stops at the last module.
    h.rec().channel_count = 255;
    const Lines lines = h.run();
    ASSERT_EQ(40u, lines.size());
    EXPECT_EQ(bool_line(1, "419430501040", "419430501040", "419430501040", msg, false, 1),
              lines.back());
}

// The analog reports use the report setting of the family's first alarm ID
// for every signal that has none of its own.
TEST(FamilyRulesMode1, AnalogReportsUseTheFamilyTemplate) {
    RuleHarness h;
    SMDVDevice::BAOSetting always;
    always.period_enabled = true;  // period 0: due at every round
    h.d().ReportSettings()["probe_template"] = always;
    ASSERT_TRUE(h.d().CheckAOReport("probe_template", "probe_signal", 1.0f));
    h.d().ReportSettings().clear();

    for (const char* t : {"419610801001", "419613901001", "419620401001", "419620301001"})
        h.d().ReportSettings()[t] = always;
    h.d().ac_line = 2;
    h.d().ac_type = 1;
    h.d().dc_number = 2;
    h.rec().ac.channel_count = 2;
    set_phases(h.rec().ac_channels[1], 230, 231, 232, 49.5f);
    h.rec().dc.i = 10;
    h.rec().dc.v = 53.5f;
    h.rec().dc2.i = 20;
    h.rec().dc2.v = 54;
    h.run();
    EXPECT_EQ((Lines{report_line("419110500001", 230), report_line("419110600001", 231),
                     report_line("419110700001", 232), report_line("419113900001", 49.5),
                     report_line("419120400001", 10), report_line("419120300001", 53.5),
                     report_line("419120400002", 20), report_line("419120300002", 54)}),
              h.report_lines());
}

TEST(FamilyRules, OtherThresholdModesRunNoRule) {
    for (int mode : {0, 3, 5, -1}) {
        RuleHarness h;
        h.d().b_mode_ = mode;
        h.d().AlarmLevels()["220600140010"] = 1;
        h.rec().ac.channel_count = 1;
        h.rec().channel_count = 2;
        h.rec().dc.alert_m_count = 2;
        EXPECT_EQ(Lines{}, h.run()) << "mode " << mode;
    }
}

// ---- Mode 2 -----------------------------------------------------------------------------------

struct Mode2 : RuleHarness {
    Mode2() {
        d().b_mode_ = 2;
        d().has_dc = false;
    }
    void level(const std::string& id, int l) { d().AlarmLevels()[id] = l; }
    void threshold(const std::string& id, float t) { d().AlarmValues()[id] = t; }
};

const std::string kOverV = "001#48V直流系统交流输入电压过高告警";
const std::string kUnderV = "001#48V直流系统交流输入电压过低告警";
const std::string kFail = "001#48V直流系统交流输入停电告警";
const std::string kOverF = "001#48V直流系统交流输入频率过高告警";
const std::string kUnderF = "001#48V直流系统交流输入频率过低告警";

TEST(FamilyRulesMode2, AcRulesInOrderWithTheirValueTexts) {
    Mode2 h;
    for (const char* id :
         {"220600120010", "220600130010", "220600140010", "220600160010", "220600170010"})
        h.level(id, 2);
    h.level("220600140010", 4);
    h.threshold("220600160010", 52);
    h.threshold("220600170010", 48);
    set_phases(h.rec().ac_channels[0], 220.5f, 221, 219.8f, 50.0f);
    const std::string volts = "ua1:220.5 ub1:221 uc1:219.8 ua2:0 ub2:0 uc2:0";
    const std::string hertz = "f1:50 f2:0";
    EXPECT_EQ((Lines{fixed_line(2, "220600120010", volts, kOverV, false),
                     fixed_line(2, "220600130010", volts, kUnderV, false),
                     fixed_line(4, "220600140010", volts, kFail, false),
                     fixed_line(2, "220600160010", hertz, kOverF, false),
                     fixed_line(2, "220600170010", hertz, kUnderF, false)}),
              h.run());

    // Six significant digits, whatever the channel count says.
    set_phases(h.rec().ac_channels[1], 1234567.0f, 0.000123456f, -3.5f, 49.99f);
    const Lines lines = h.run();
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ(fixed_line(2, "220600120010",
                         "ua1:220.5 ub1:221 uc1:219.8 ua2:1.23457e+06 ub2:0.000123456 uc2:-3.5",
                         kOverV, true),
              lines[0]);
    EXPECT_EQ(fixed_line(2, "220600170010", "f1:50 f2:49.99", kUnderF, false), lines[4]);
}

struct AcCase {
    const char* what;
    const char* alarm_id;
    const char* wired;  // the wired phases, "abc"
    float ch0[4];       // a, b, c, f
    float ch1[4];
    float threshold;
    bool active;
};

TEST(FamilyRulesMode2, AcConditions) {
    // clang-format off
    const AcCase cases[] = {
        {"other input counts",        "220600120010", "a",   {0, 300, 0, 0},      {281, 0, 0, 0}, 0, true},
        {"280 V is not above",        "220600120010", "abc", {280, 280, 280, 0},  {0, 0, 0, 0},   0, false},
        {"unwired over-voltage",      "220600120010", "a",   {0, 300, 0, 0},      {0, 0, 0, 0},   0, false},
        {"NaN is no over-voltage",    "220600120010", "abc", {kNaN, 0, 0, 0},     {0, 0, 0, 0},   0, false},
        {"all zero: no under-voltage","220600130010", "abc", {0, 0, 0, 0},        {0, 0, 0, 0},   0, false},
        {"a low wired phase",         "220600130010", "abc", {230, 149.9f, 230, 0}, {0, 0, 0, 0}, 0, true},
        {"150 V is not below",        "220600130010", "abc", {230, 150, 230, 0},  {0, 0, 0, 0},   0, false},
        {"0.01f is absent",           "220600130010", "abc", {0.01f, 0, 0, 0},    {0, 0, 0, 0},   0, false},
        {"just above 0.01 V",         "220600130010", "abc", {0.0101f, 0, 0, 0},  {0, 0, 0, 0},   0, true},
        {"low phase unwired",         "220600130010", "ac",  {230, 100, 230, 0},  {0, 0, 0, 0},   0, false},
        {"all zero: power failure",   "220600140010", "abc", {0, 0, 0, 0},        {0, 0, 0, 0},   0, true},
        {"unwired phases count",      "220600140010", "a",   {100, 230, 0, 0},    {0, 0, 0, 0},   0, false},
        {"NaN is no power failure",   "220600140010", "abc", {kNaN, 0, 0, 0},     {0, 0, 0, 0},   0, false},
        {"over-frequency",            "220600160010", "abc", {0, 0, 0, 50},       {0, 0, 0, 50.5f}, 50.4f, true},
        {"frequency at threshold",    "220600160010", "abc", {0, 0, 0, 50.4f},    {0, 0, 0, 0},   50.4f, false},
        {"no threshold configured",   "220600160010", "abc", {0, 0, 0, 0},        {0, 0, 0, 0.001f}, 0, true},
        {"NaN frequency",             "220600160010", "abc", {0, 0, 0, kNaN},     {0, 0, 0, 0},   0, false},
        {"under-frequency, input 2",  "220600170010", "abc", {0, 0, 0, 0},        {0, 0, 0, 44.9f}, 45, true},
        {"no frequency at all",       "220600170010", "abc", {0, 0, 0, 0},        {0, 0, 0, 0},   45, false},
        {"frequency at threshold",    "220600170010", "abc", {0, 0, 0, 45},       {0, 0, 0, 0},   45, false},
    };
    // clang-format on
    for (const AcCase& c : cases) {
        Mode2 h;
        h.level(c.alarm_id, 1);
        if (c.threshold != 0) h.threshold(c.alarm_id, c.threshold);
        set_wired(h, c.wired);
        set_phases(h.rec().ac_channels[0], c.ch0[0], c.ch0[1], c.ch0[2], c.ch0[3]);
        set_phases(h.rec().ac_channels[1], c.ch1[0], c.ch1[1], c.ch1[2], c.ch1[3]);
        const Lines lines = h.run();
        ASSERT_EQ(1u, lines.size()) << c.what;
        EXPECT_NE(std::string::npos, lines[0].find(c.active ? " ON #1" : " off #1"))
            << c.what << ": " << lines[0];
    }
}

TEST(FamilyRulesMode2, UnconfiguredRuleIsSkippedAndLeavesALevelZeroEntry) {
    Mode2 h;
    h.level("220600130010", 1);
    const Lines lines = h.run();
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("220600130010"));
    auto& levels = h.d().AlarmLevels();
    ASSERT_EQ(1u, levels.count("220600140010"));
    EXPECT_EQ(0, levels["220600140010"]);
    // The threshold of a skipped rule is never read.
    EXPECT_EQ(0u, h.d().AlarmValues().count("220600160010"));

    h.d().has_ac = false;
    h.d().AlarmLevels().clear();
    h.level("220600120010", 1);
    EXPECT_EQ(Lines{}, h.run());
}

TEST(FamilyRulesMode2, RunningAlarmFollowsOpen41_43) {
    struct Case {
        int open_41_43;
        uint8_t state;
        bool active;
    };
    const Case cases[] = {
        {0, 1, true},      {0, 0, false},   {1, 1, false},       {1, 0, true},
        {-254, 255, true}, {2, 255, false}, {INT_MIN, 0, false}, {INT_MAX, 1, false},
    };
    const std::string msg = "002#48V整流模块运行告警";
    for (const Case& c : cases) {
        Mode2 h;
        h.d().has_ac = false;
        h.level("120600690020", 3);
        h.level("120600020020", 2);
        h.d().open_41_43 = c.open_41_43;
        h.rec().channel_count = 2;
        h.rec().channels[1].shutdown = c.state;
        h.rec().channels[0].shutdown = static_cast<uint8_t>(c.state + 1);
        EXPECT_EQ((Lines{fixed_line(3, "120600690020", "1", msg, c.active),
                         fixed_line(2, "120600020020", "1", msg, c.active)}),
                  h.run())
            << "open_41_43 " << c.open_41_43 << " state " << int(c.state);
    }
}

TEST(FamilyRulesMode2, RunningAlarmIdsEachConfiguredAlone) {
    Mode2 h;
    h.d().has_ac = false;
    h.level("120600020010", 1);
    h.level("120600690400", 1);
    h.rec().channel_count = 200;
    h.rec().channels[0].shutdown = 1;
    EXPECT_EQ((Lines{fixed_line(1, "120600020010", "1", "001#48V整流模块运行告警", true),
                     fixed_line(1, "120600690400", "1", "040#48V整流模块运行告警", false)}),
              h.run());
}

TEST(FamilyRulesMode2, DcPanelsAndFuses) {
    Mode2 h;
    h.d().has_ac = false;
    h.d().has_dc = true;
    for (const char* id : {"210600320010", "210600330010", "210600340010", "210600320020",
                           "210600330020", "210600340020", "120600470010", "120600470020",
                           "120600470190", "120600470200", "120600470210"})
        h.level(id, 2);
    h.threshold("210600320010", 47);
    h.threshold("210600330010", 45);
    h.threshold("210600340010", 57);
    h.threshold("210600320020", 47);
    h.threshold("210600330020", 45);
    h.threshold("210600340020", 57);
    h.rec().dc.v = 46.0f;
    h.rec().dc.alert_m_count = 2;
    h.rec().dc.alert_m[1] = 0x03;
    h.rec().dc2.v = 0.1f;
    h.rec().dc2.alert_m_count = 3;
    h.rec().dc2.alert_m[0] = 1;
    h.rec().dc2.alert_m[2] = 0xFF;
    const Lines panel1{fixed_line(2, "210600320010", "46", "48V直流系统直流总电压过低告警", true),
                       fixed_line(2, "210600330010", "46", "48V直流系统直流总电压超低告警", false),
                       fixed_line(2, "210600340010", "46", "直流总电压过高告警", false),
                       fixed_line(2, "120600470010", "1", "直流屏1001负载熔丝故障告警", false),
                       fixed_line(2, "120600470020", "1", "直流屏1002负载熔丝故障告警", true)};
    h.d().dc_number = 1;
    EXPECT_EQ(panel1, h.run());

    h.d().dc_number = 2;
    Lines both = panel1;
    for (const std::string& l :
         Lines{fixed_line(2, "210600320020", "0.100000001", "直流屏2 48V直流系统直流总电压过低告警",
                          true),
               fixed_line(2, "210600330020", "0.100000001", "直流屏2 48V直流系统直流总电压超低告警",
                          true),
               fixed_line(2, "210600340020", "0.100000001", "直流屏2 直流总电压过高告警", false),
               fixed_line(2, "120600470190", "1", "直流屏2001负载熔丝故障告警", true),
               fixed_line(2, "120600470200", "1", "直流屏2002负载熔丝故障告警", false),
               fixed_line(2, "120600470210", "1", "直流屏2003负载熔丝故障告警", true)})
        both.push_back(l);
    EXPECT_EQ(both, h.run());
}

TEST(FamilyRulesMode2, DcValueTextAndComparisonEdges) {
    struct Case {
        float v;
        const char* text;
        bool low;   // below 47
        bool high;  // above 57
    };
    const Case cases[] = {
        {53.5f, "53.5", false, false},       {47.0f, "47", false, false},
        {57.0f, "57", false, false},         {57.01f, "57.0099983", false, true},
        {46.99f, "46.9900017", true, false}, {kNaN, "nan", false, false},
    };
    for (const Case& c : cases) {
        Mode2 h;
        h.d().has_ac = false;
        h.d().has_dc = true;
        h.level("210600320010", 1);
        h.level("210600340010", 1);
        h.threshold("210600320010", 47);
        h.threshold("210600340010", 57);
        h.rec().dc.v = c.v;
        EXPECT_EQ(
            (Lines{fixed_line(1, "210600320010", c.text, "48V直流系统直流总电压过低告警", c.low),
                   fixed_line(1, "210600340010", c.text, "直流总电压过高告警", c.high)}),
            h.run())
            << c.text;
    }
}

TEST(FamilyRulesMode2, FuseLoopsStopAtTheTenFusesOfAPanel) {
    Mode2 h;
    h.d().has_ac = false;
    h.d().has_dc = true;
    h.d().dc_number = 2;
    h.level("120600470100", 1);
    h.level("120600470110", 1);  // an eleventh fuse of panel 1 does not exist
    h.level("120600470280", 1);
    h.level("120600470290", 1);
    h.rec().dc.alert_m_count = 255;
    h.rec().dc2.alert_m_count = 11;
    h.rec().dc2.alert_m[9] = 1;
    EXPECT_EQ((Lines{fixed_line(1, "120600470100", "1", "直流屏1010负载熔丝故障告警", false),
                     fixed_line(1, "120600470280", "1", "直流屏2010负载熔丝故障告警", true)}),
              h.run());
}

TEST(FamilyRulesMode2, WholeRoundOrderAcThenModulesThenDc) {
    Mode2 h;
    h.d().has_dc = true;
    h.level("220600140010", 1);
    h.level("120600690010", 1);
    h.level("210600320010", 1);
    h.level("120600470010", 1);
    h.rec().channel_count = 1;
    h.rec().dc.alert_m_count = 1;
    h.rec().dc.v = 53.5f;
    EXPECT_EQ(
        (Lines{fixed_line(1, "220600140010", "ua1:0 ub1:0 uc1:0 ua2:0 ub2:0 uc2:0", kFail, true),
               fixed_line(1, "120600690010", "1", "001#48V整流模块运行告警", false),
               fixed_line(1, "210600320010", "53.5", "48V直流系统直流总电压过低告警", false),
               fixed_line(1, "120600470010", "1", "直流屏1001负载熔丝故障告警", false)}),
        h.run());
}

}  // namespace
