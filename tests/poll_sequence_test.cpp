// The family's own poll sequence: the command of each step, rounds completed,
// the DC layout decision, the 2-second spacing and frames outside a round.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "pmbuspower/poll_steps.h"
#include "tests/support/poll_rig.h"

namespace {

using namespace testsupport;
using Strings = std::vector<std::string>;

// Responses of a plant with one AC input, one module and one DC panel, INFO from DATAFLAG.
Bytes ac_analog() {
    return cat({{0x00, 0x01},
                f32(220.5f),
                f32(221.0f),
                f32(219.5f),
                f32(50.0f),
                {0x00},
                f32(1.5f),
                f32(2.5f),
                f32(3.5f)});
}
Bytes ac_states() { return {0x00, 0x00, 0x01, 0x07}; }
Bytes ac_alarms() { return {0x00, 0x01, 0x01, 0x02, 0x03, 0x04, 0x00, 0x00, 0x05, 0x06, 0x07}; }
Bytes rc_analog() { return cat({{0x11}, f32(53.25f), {0x01}, f32(12.5f), {0x00}}); }
Bytes rc_states() { return {0x00, 0x01, 0x01, 0x00, 0x01, 0x00}; }
Bytes rc_alarms() { return {0x00, 0x01, 0x09, 0x00}; }
// One panel, after DATAFLAG and the panel-count byte.
Bytes dc_panel(float v) { return cat({f32(v), f32(20.0f), {0x00, 0x00, 0x00}}); }
Bytes dc_alarm_panel(uint8_t alert_v) { return {alert_v, 0x00, 0x00}; }

Bytes without_dataflag(const Bytes& b) { return Bytes(b.begin() + 1, b.end()); }

TEST(PollSteps, CommandsFollowTheOptions) {
    using namespace pmbus_poll;
    struct Case {
        PollOptions o;
        Strings expected;  // one per step of kPollSteps, "CID2:INFO" ("" for no INFO)
    };
    const Case cases[] = {
        {{true, 0x01, 0, 0, 0x20},
         {"41:01", "43:01", "44:01", "41:", "43:", "44:", "41:FF", "44:FF"}},
        {{false, 0x01, 0, 0, 0x20},
         {"42:01", "43:01", "44:01", "42:", "43:", "44:", "42:01", "44:FF"}},
        {{false, 0x03, 0, 0, 0x21},
         {"42:03", "43:03", "44:03", "42:", "43:", "44:", "42:FF", "44:FF"}},
        {{true, 0xFF, 1, 1, 0x20}, {"41:", "43:FF", "44:FF", "41:", "43:", "44:", "41:", "44:"}},
    };
    const uint8_t kCid1[] = {0x40, 0x40, 0x40, 0x41, 0x41, 0x41, 0x42, 0x42};
    for (const Case& c : cases) {
        ASSERT_EQ(std::size(kPollSteps), c.expected.size());
        for (size_t k = 0; k < std::size(kPollSteps); ++k) {
            const PollCommand cmd = poll_command(kPollSteps[k], c.o);
            char text[8];
            if (cmd.has_info)
                std::snprintf(text, sizeof text, "%02X:%02X", cmd.cid2, cmd.info);
            else
                std::snprintf(text, sizeof text, "%02X:", cmd.cid2);
            EXPECT_EQ(c.expected[k], text) << "step " << kPollSteps[k].step;
            EXPECT_EQ(kCid1[k], cmd.cid1) << "step " << kPollSteps[k].step;
        }
    }
}

TEST(PollSequence, FullRoundWithAcAndDc) {
    PollRig rig;
    rig.drv.has_dc = true;
    rig.drv.no_dc_number = 2;
    EXPECT_EQ(1, rig.drv.RefreshStatus());
    rig.respond(ac_analog());
    rig.respond(ac_states());
    rig.respond(ac_alarms());
    rig.respond(rc_analog(), 0x41);
    rig.respond(rc_states(), 0x41);
    rig.respond(rc_alarms(), 0x41);
    EXPECT_EQ(0u, rig.rounds());
    rig.respond(cat({{0x00, 0x01}, dc_panel(53.5f)}), 0x42);
    EXPECT_EQ(1, rig.drv.last_result);
    rig.respond(cat({{0x00, 0x01}, dc_alarm_panel(0x02)}), 0x42);

    EXPECT_EQ((Strings{"40/41:01", "40/43:01", "40/44:01", "41/41:", "41/43:", "41/44:", "42/41:FF",
                       "42/44:FF"}),
              rig.commands());
    EXPECT_EQ(0, rig.drv.last_result);
    EXPECT_EQ(1u, rig.rounds());
    EXPECT_EQ(10, rig.drv.poll_step_);
    EXPECT_EQ(-1, rig.drv.io_result_);

    const auto& d = rig.drv.cData;
    const float a = d.ac_channels[0].a, ia = d.ac.ia, out_v = d.out_v, out_i = d.channels[0].out_i;
    const float dc_v = d.dc.v;
    EXPECT_EQ(220.5f, a);
    EXPECT_EQ(1.5f, ia);
    EXPECT_EQ(1, d.ac.p40_43_count);
    EXPECT_EQ(7, d.ac.p40_43[0]);
    EXPECT_EQ(4, d.ac_channels[0].alert_f);
    EXPECT_EQ(7, d.ac.ic_alert);
    EXPECT_EQ(0x11, rig.drv.data_flag_);
    EXPECT_EQ(53.25f, out_v);
    EXPECT_EQ(12.5f, out_i);
    EXPECT_EQ(1, d.channels[0].shutdown);
    EXPECT_EQ(9, d.channels[0].fault);
    EXPECT_EQ(53.5f, dc_v);
    EXPECT_EQ(2, d.dc.alert_v);
    EXPECT_EQ(1u, rig.drv.dc_number);
    // The published record is the live record at the end of the round.
    ASSERT_EQ(sizeof d, rig.h.sink.published[0].size());
    EXPECT_EQ(0, std::memcmp(&d, rig.h.sink.published[0].data(), sizeof d));
}

TEST(PollSequence, RectifiersOnlyWithoutAcAndDc) {
    PollRig rig;
    rig.drv.has_ac = false;
    rig.drv.has_dc = false;
    EXPECT_EQ(1, rig.drv.RefreshStatus());
    rig.respond(rc_analog(), 0x41);
    rig.respond(rc_states(), 0x41);
    EXPECT_EQ(0u, rig.rounds());
    rig.respond(rc_alarms(), 0x41);
    EXPECT_EQ((Strings{"41/41:", "41/43:", "41/44:"}), rig.commands());
    EXPECT_EQ(1u, rig.rounds());
    EXPECT_EQ(0, rig.drv.last_result);
    EXPECT_EQ(10, rig.drv.poll_step_);
}

TEST(PollSequence, AcWithoutDcEndsAfterRectifierAlarms) {
    PollRig rig;
    rig.drv.RefreshStatus();
    for (const Bytes& b : {ac_analog(), ac_states(), ac_alarms(), rc_analog(), rc_states()})
        rig.respond(b);
    EXPECT_EQ(0u, rig.rounds());
    rig.respond(rc_alarms());
    EXPECT_EQ(1u, rig.rounds());
    EXPECT_EQ(6u, rig.commands().size());
}

TEST(PollSequence, AllGroupsFormSkipsTheExtraByte) {
    PollRig rig;
    rig.drv.cg = 0xFF;
    rig.drv.RefreshStatus();
    // DATAFLAG and the group byte come before the AC data.
    rig.respond(cat({{0x00, 0xEE}, without_dataflag(ac_analog())}));
    rig.respond({0x00, 0xEE, 0x00, 0x02, 0x08, 0x09});
    rig.respond(cat({{0x00, 0xEE}, without_dataflag(ac_alarms())}));
    EXPECT_EQ((Strings{"40/41:FF", "40/43:FF", "40/44:FF", "41/41:"}), rig.commands());
    const auto& d = rig.drv.cData;
    const float a = d.ac_channels[0].a, ic = d.ac.ic;
    EXPECT_EQ(1, d.ac.channel_count);
    EXPECT_EQ(220.5f, a);
    EXPECT_EQ(3.5f, ic);
    EXPECT_EQ(2, d.ac.p40_43_count);
    EXPECT_EQ(9, d.ac.p40_43[1]);
    EXPECT_EQ(7, d.ac.ic_alert);
}

TEST(PollSequence, No40ArgDropsOnlyTheFirstInfoByte) {
    PollRig rig;
    rig.drv.no_40_arg = 1;
    rig.drv.RefreshStatus();
    rig.respond(ac_analog());
    rig.respond(ac_states());
    EXPECT_EQ((Strings{"40/41:", "40/43:01", "40/44:01"}), rig.commands());
}

TEST(PollSequence, RejectedAcAnalogHoldsTheRound) {
    PollRig rig;
    rig.drv.RefreshStatus();
    rig.respond({0x00});  // no input count
    EXPECT_EQ(1, rig.drv.last_result);
    EXPECT_EQ(100, rig.drv.poll_step_);
    EXPECT_EQ(1u, rig.commands().size());
    // The next poll starts the round again.
    EXPECT_EQ(1, rig.drv.RefreshStatus());
    rig.respond(ac_analog());
    EXPECT_EQ((Strings{"40/41:01", "40/41:01", "40/43:01"}), rig.commands());
}

// Runs the rectifier part of a round and returns the log of the DC analog response.
std::string dc_analog_round(PollRig& rig, const Bytes& dc_info) {
    rig.drv.has_ac = false;
    rig.drv.has_dc = true;
    rig.drv.RefreshStatus();
    rig.respond(rc_analog(), 0x41);
    rig.respond(rc_states(), 0x41);
    rig.respond(rc_alarms(), 0x41);
    return stdout_of([&] { rig.respond(dc_info, 0x42); });
}

TEST(PollSequence, DcLayoutDecidedFromAFloatVoltage) {
    PollRig rig;
    rig.drv.dc_number = 7;
    const std::string log = dc_analog_round(rig, cat({{0x00}, dc_panel(53.5f)}));
    EXPECT_EQ(1, rig.drv.no_dc_number);
    EXPECT_EQ(7u, rig.drv.dc_number);
    const float v = rig.drv.cData.dc.v, i = rig.drv.cData.dc.i;
    EXPECT_EQ(53.5f, v);
    EXPECT_EQ(20.0f, i);
    EXPECT_NE(std::string::npos, log.find("test dc_v:53.5\nno dc number is 1\n")) << log;
    // The decision holds: the alarm response is read without a panel-count byte.
    rig.respond(cat({{0x00}, dc_alarm_panel(0x03)}), 0x42);
    EXPECT_EQ(3, rig.drv.cData.dc.alert_v);
    EXPECT_EQ(1u, rig.rounds());
}

TEST(PollSequence, DcLayoutDecidedFromAPanelCount) {
    PollRig rig;
    const std::string log =
        dc_analog_round(rig, cat({{0x00, 0x02}, dc_panel(53.5f), dc_panel(54.5f)}));
    EXPECT_EQ(2, rig.drv.no_dc_number);
    EXPECT_EQ(2u, rig.drv.dc_number);
    const float v1 = rig.drv.cData.dc.v, v2 = rig.drv.cData.dc2.v;
    EXPECT_EQ(53.5f, v1);
    EXPECT_EQ(54.5f, v2);
    EXPECT_NE(std::string::npos,
              log.find("no dc number is 2\npmbuspower_419 PMBUSPOWER_42_41 dc_number:2\n"))
        << log;
    const std::string alarms = stdout_of([&] {
        rig.respond(cat({{0x00, 0x02}, dc_alarm_panel(0x04), dc_alarm_panel(0x05)}), 0x42);
    });
    EXPECT_EQ(4, rig.drv.cData.dc.alert_v);
    EXPECT_EQ(5, rig.drv.cData.dc2.alert_v);
    EXPECT_NE(std::string::npos, alarms.find("pmbuspower_419 PMBUSPOWER_42_44 dc_number:2\n"));
}

TEST(PollSequence, DcLayoutDecidedFromAFixedPointVoltage) {
    PollRig rig;
    rig.drv.use_float_ = false;
    const Bytes panel = {0x14, 0xB4, 0x07, 0xD0, 0x00, 0x00, 0x00};  // 53.00 V, 20.00 A
    const std::string log = dc_analog_round(rig, cat({{0x00}, panel}));
    EXPECT_EQ(1, rig.drv.no_dc_number);
    const float v = rig.drv.cData.dc.v, i = rig.drv.cData.dc.i;
    EXPECT_EQ(53.0f, v);
    EXPECT_EQ(20.0f, i);
    EXPECT_EQ(std::string::npos, log.find("test dc_v:"));
    // Fixed point below version 0x21 puts cg into the DC analog command.
    EXPECT_EQ((Strings{"41/42:", "41/43:", "41/44:", "42/42:01", "42/44:FF"}), rig.commands());
}

TEST(PollSequence, RectifierAnalogLogsLengthAndResult) {
    PollRig rig;
    rig.drv.has_ac = false;
    rig.drv.RefreshStatus();
    const std::string log = stdout_of([&] { rig.respond(rc_analog(), 0x41); });
    EXPECT_NE(std::string::npos, log.find("41_43 11 vs 11\n")) << log;
}

TEST(PollSequence, NextRoundWaitsTwoSeconds) {
    PollRig rig;
    rig.drv.has_ac = false;
    rig.drv.RefreshStatus();
    for (const Bytes& b : {rc_analog(), rc_states(), rc_alarms()}) rig.respond(b, 0x41);
    ASSERT_EQ(1u, rig.rounds());
    rig.h.clock.advance(1);
    EXPECT_EQ(0, rig.drv.RefreshStatus());
    EXPECT_EQ(10, rig.drv.refresh_status_);
    EXPECT_EQ(3u, rig.commands().size());
    rig.h.clock.advance(1);
    EXPECT_EQ(1, rig.drv.RefreshStatus());
    EXPECT_EQ(4u, rig.commands().size());
}

TEST(PollSequence, ClosedLineDoesNotPoll) {
    PollRig rig;
    rig.line->open = false;
    EXPECT_EQ(0, rig.drv.RefreshStatus());
    EXPECT_TRUE(rig.commands().empty());
}

TEST(PollSequence, FrameOutsideTheSequenceSetsIoResult) {
    PollRig rig;
    rig.drv.has_ac = false;
    rig.drv.RefreshStatus();
    for (const Bytes& b : {rc_analog(), rc_states(), rc_alarms()}) rig.respond(b, 0x41);
    const auto before = rig.drv.cData;
    rig.respond(rc_analog(), 0x41);
    EXPECT_EQ(0, rig.drv.last_result);
    EXPECT_EQ(1, rig.drv.io_result_);
    EXPECT_EQ(0, std::memcmp(&before, &rig.drv.cData, sizeof before));
    EXPECT_EQ(3u, rig.commands().size());
}

TEST(PollSequence, ShortFramesReadNothingBeyondInfo) {
    PollRig rig;
    rig.drv.has_ac = false;
    rig.drv.has_dc = true;
    rig.drv.data_flag_ = 0x5A;
    rig.drv.dc_number = 3;
    rig.drv.RefreshStatus();
    rig.respond({}, 0x41);  // no DATAFLAG
    EXPECT_EQ(0x5A, rig.drv.data_flag_);
    rig.respond(rc_states(), 0x41);
    rig.respond(rc_alarms(), 0x41);
    // DATAFLAG only: neither the layout nor the panel count can be read.
    rig.respond({0x00}, 0x42);
    EXPECT_EQ(-1, rig.drv.no_dc_number);
    EXPECT_EQ(3u, rig.drv.dc_number);
    rig.respond({0x00, 0x02}, 0x42);
    EXPECT_EQ(2u, rig.drv.dc_number);
    EXPECT_EQ((Strings{"41/41:", "41/43:", "41/44:", "42/41:FF", "42/44:FF"}), rig.commands());
    EXPECT_EQ(1u, rig.rounds());
}

TEST(PollSequence, TruncatedFirstPanelLeavesTheSecondAlone) {
    PollRig rig;
    rig.drv.no_dc_number = 2;
    const Bytes first = dc_panel(53.5f);
    dc_analog_round(rig, cat({{0x00, 0x02}, Bytes(first.begin(), first.end() - 1)}));
    const float v1 = rig.drv.cData.dc.v, v2 = rig.drv.cData.dc2.v;
    EXPECT_EQ(53.5f, v1);
    EXPECT_EQ(0.0f, v2);
    EXPECT_EQ(0, rig.drv.cData.dc2.m);
}

}  // namespace
