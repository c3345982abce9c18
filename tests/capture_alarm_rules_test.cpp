// The capture driver's alarms from AC status bytes and rectifier alarm bytes
// of the round buffer: numbering, messages, states and the alarm sequence.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/alarm_calls.h"

namespace {

using testsupport::bool_line;
using testsupport::RuleHarness;
using Lines = std::vector<std::string>;

// A driver in a threshold mode without family rules, so only these rules speak.
struct Capture : RuleHarness {
    Capture() { d().b_mode_ = 3; }
    void ac_status(unsigned input, const std::vector<uint8_t>& bytes) {
        std::memcpy(round().ac_channels[input].p40_44, bytes.data(), bytes.size());
    }
    void module_alarms(unsigned module, const std::vector<uint8_t>& bytes) {
        std::memcpy(round().channels[module].p41_44, bytes.data(), bytes.size());
    }
};

Lines ac_lines(unsigned input, const bool (&active)[7], unsigned first_seq) {
    const std::string p = "第" + std::to_string(input) + "路交流输入-";
    return {
        bool_line(1, "p40_44_0", "419410701", "0", p + "交流输入空开跳", active[0], first_seq),
        bool_line(1, "p40_44_2", "419410901", "0", p + "防雷器断", active[1], first_seq + 1),
        bool_line(1, "p40_44_3", "419415001", "0", p + "交流输入1停电", active[2], first_seq + 2),
        bool_line(1, "p40_44_4", "419415001", "0", p + "交流输入2停电", active[3], first_seq + 3),
        bool_line(1, "p40_44_5", "419415001", "0", p + "交流输入3停电", active[4], first_seq + 4),
        bool_line(1, "p40_44_6", "419400101", "0", p + "市电切换失败", active[5], first_seq + 5),
        bool_line(1, "p40_44_7", "419400201", "0", p + "交流屏通讯中断", active[6], first_seq + 6)};
}

Lines module_lines(unsigned module, const bool (&active)[4], unsigned first_seq) {
    const std::string p = "模块" + std::to_string(module);
    return {
        bool_line(3, "K418TRC_0", "419430501", "1", p + "模块故障告警状态", active[0], first_seq),
        bool_line(4, "K418TRC_1", "419431C01", "1", p + "模块风扇告警", active[1], first_seq + 1),
        bool_line(3, "K418TRC_2", "419240403", "1", p + "模块过温告警状态", active[2],
                  first_seq + 2),
        bool_line(2, "K418TRC_7", "419430601", "1", p + "整流模块过压关机告警", active[3],
                  first_seq + 3)};
}

Lines join(std::initializer_list<Lines> parts) {
    Lines out;
    for (const Lines& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(CaptureRules, AcStatusBytesOfOneInput) {
    Capture h;
    h.round().ac.channel_count = 1;
    h.ac_status(0, {0x05, 0x00, 0x00, 0xE1, 0x00, 0x00, 0x00, 0xE2});
    EXPECT_EQ(ac_lines(1, {true, false, true, false, false, false, true}, 1), h.run());
    EXPECT_EQ(8, h.d().AlarmSequence());
}

TEST(CaptureRules, AcStatusCodesMustMatchExactly) {
    struct Case {
        std::vector<uint8_t> bytes;
        bool active[7];
    };
    const Case cases[] = {
        // Byte 1 carries no alarm; each byte answers only its own code.
        {{0x00, 0x05, 0x05, 0x05, 0x05, 0x05, 0x05, 0x05},
         {false, true, false, false, false, false, false}},
        {{0xE1, 0xE1, 0xE1, 0xE1, 0xE1, 0xE1, 0xE1, 0xE1},
         {false, false, true, true, true, false, false}},
        {{0xE3, 0x00, 0xE2, 0x01, 0x00, 0x00, 0xE3, 0xE3},
         {false, false, false, false, false, true, false}},
        {{0x04, 0x00, 0x06, 0xE0, 0xE2, 0xE3, 0xE2, 0xE2},
         {false, false, false, false, false, false, true}},
    };
    for (const Case& c : cases) {
        Capture h;
        h.round().ac.channel_count = 1;
        h.ac_status(0, c.bytes);
        EXPECT_EQ(ac_lines(1, c.active, 1), h.run());
    }
}

TEST(CaptureRules, AtMostTwoAcInputs) {
    Capture h;
    h.round().ac.channel_count = 3;
    h.ac_status(1, {0x05, 0x00, 0x05, 0x00, 0x00, 0xE1, 0xE3, 0x00});
    const bool none[7] = {};
    EXPECT_EQ(
        join({ac_lines(1, none, 1), ac_lines(2, {true, true, false, false, true, true, false}, 8)}),
        h.run());
}

TEST(CaptureRules, ModuleAlarmBytes) {
    Capture h;
    h.round().channel_count = 12;
    h.module_alarms(11, {0x01, 0x01, 0x00, 0x01, 0x01, 0x01, 0x01, 0x01});
    h.module_alarms(0, {0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00});
    const Lines lines = h.run();
    ASSERT_EQ(48u, lines.size());
    EXPECT_EQ(module_lines(1, {false, false, true, false}, 1),
              Lines(lines.begin(), lines.begin() + 4));
    EXPECT_EQ(module_lines(12, {true, true, false, true}, 45), Lines(lines.end() - 4, lines.end()));
}

TEST(CaptureRules, SequenceNumbersAcrossInputsAndModules) {
    Capture h;
    h.round().ac.channel_count = 2;
    h.round().channel_count = 3;
    h.module_alarms(2, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01});
    const bool none7[7] = {};
    const bool none4[4] = {};
    const Lines expected =
        join({ac_lines(1, none7, 1), ac_lines(2, none7, 8), module_lines(1, none4, 15),
              module_lines(2, none4, 19), module_lines(3, {false, false, false, true}, 23)});
    EXPECT_EQ(expected, h.run());
    // The same numbering round after round.
    EXPECT_EQ(expected, h.run());
}

TEST(CaptureRules, ModulesStopAtTheRecordsForty) {
    Capture h;
    h.round().channel_count = 255;
    const Lines lines = h.run();
    ASSERT_EQ(160u, lines.size());
    EXPECT_EQ(module_lines(40, {false, false, false, false}, 157),
              Lines(lines.end() - 4, lines.end()));
}

TEST(CaptureRules, SequenceWrapsAt16Bits) {
    Capture h;
    h.round().ac.channel_count = 1;
    h.sink.clear();
    h.d().alarm_seq_ = 65534;
    h.d().RunCheckThreshold();
    const Lines lines = h.alarm_lines();
    ASSERT_EQ(7u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find(" #65534"));
    EXPECT_NE(std::string::npos, lines[1].find(" #65535"));
    EXPECT_NE(std::string::npos, lines[2].find(" #0"));
    EXPECT_NE(std::string::npos, lines[6].find(" #4"));
    EXPECT_EQ(5, h.d().AlarmSequence());
}

TEST(CaptureRules, FamilyRulesFirstOnTheLiveRecordThenTheRoundBuffer) {
    Capture h;
    h.d().b_mode_ = 1;
    h.d().has_dc = false;
    h.rec().channel_count = 1;  // live record: one faulty module
    h.rec().channels[0].fault = 1;
    h.round().channel_count = 1;  // round buffer: that module's fan alarm
    h.round().channels[0].p41_44[1] = 1;
    const std::string power = "输入电源中断告警";
    const Lines expected = join(
        {{bool_line(1, "PowerOff", "419415001", power, power, true, 100),
          testsupport::limit_line("419610401001", 0), testsupport::limit_line("419610401002", 0),
          testsupport::limit_line("419610401003", 0), testsupport::limit_line("419613901001", 0),
          bool_line(1, "419430501001", "419430501001", "419430501001", "模块故障告警", true, 1)},
         module_lines(1, {false, true, false, false}, 1)});
    EXPECT_EQ(expected, h.run());
}

TEST(CaptureRules, NothingBeforeTheFirstRound) {
    Capture h;
    h.rec().ac.channel_count = 2;  // a cached record: only the family's rules look at it
    h.rec().channel_count = 5;
    EXPECT_EQ(Lines{}, h.run());
    EXPECT_EQ(1, h.d().AlarmSequence());
}

}  // namespace
