// Following the line: command classification, the expectation that links a command to
// its response, opening and closing rounds, and frame errors.

#include <algorithm>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugin/capture_commands.h"
#include "tests/support/capture_support.h"
#include "tests/support/driver_fixture.h"
#include "tools/common/frame_builder.h"

namespace {

using testsupport::Bytes;
using testsupport::ProbeDriver;
using Harness = testsupport::DriverHarness<ProbeDriver>;

veltra_frames::PlantSnapshot small_plant(float phase_a) {
    veltra_frames::PlantSnapshot s;
    veltra_frames::AcInput in;
    in.a = phase_a;
    in.b = 221.0f;
    in.c = 222.0f;
    in.f = 50.0f;
    s.ac.inputs = {in};
    s.ac.ia = 20.0f;
    veltra_frames::DcPanel p;
    p.v = 53.5f;
    p.alert_v = 0x02;
    p.fuses = {0, 1};
    s.panels = {p};
    return s;
}

const veltra_frames::PlantSnapshot kPlant = small_plant(220.0f);
const Bytes kDcAlarms = veltra_frames::info42_44(kPlant);
const Bytes kAcValues = veltra_frames::info40_41(kPlant);
const Bytes kAcValuesOther = veltra_frames::info40_41(small_plant(230.0f));
const Bytes kAcValuesRejected = {0xFF, 0x03};  // three AC inputs: more than the record holds
const Bytes kVendor = {0x00};

enum class Kind { Command, Response, Error };

struct Step {
    Kind kind;
    uint8_t cid1;
    uint8_t cid2;  // CID2 of a command, RTN of a response
    const Bytes* info;
    int result;    // of process_payload or process_error
    int expected;  // expected_response_ after the step
    bool open;     // round_open_ after the step
};

struct Sequence {
    const char* name;
    std::vector<Step> steps;
    size_t rounds_done;  // records published
    float ac_a;          // ac_channels[0].a of the round buffer at the end
    uint8_t ac_count;    // ac.channel_count of the round buffer at the end
};

const Step kOpen{Kind::Command, 0x42, 0x44, &kDcAlarms, 1, 1, true};
const Step kAcCommand{Kind::Command, 0x40, 0x41, nullptr, 1, 2, true};

const std::vector<Sequence>& sequences() {
    static const std::vector<Sequence> s = {
        {"one round with DC alarms and AC values",
         {kOpen,
          {Kind::Response, 0x42, 0x00, &kDcAlarms, 1, 0, true},
          kAcCommand,
          {Kind::Response, 0x40, 0x00, &kAcValues, 1, 0, true},
          {Kind::Command, 0xE1, 0x90, nullptr, 1, 12, true},
          {Kind::Response, 0xE1, 0x00, &kVendor, 0, 0, false}},
         1,
         220.0f,
         1},
        {"closing response without an open round is ignored",
         {{Kind::Command, 0xE1, 0x90, nullptr, 1, 0, false},
          {Kind::Response, 0xE1, 0x00, &kVendor, 1, 0, false}},
         0,
         0.0f,
         0},
        {"commands before the round opens expect nothing",
         {{Kind::Command, 0x40, 0x41, nullptr, 1, 0, false},
          {Kind::Response, 0x40, 0x00, &kAcValues, 1, 0, false}},
         0,
         0.0f,
         0},
        {"response with another CID1 keeps the expectation",
         {kOpen,
          {Kind::Command, 0x41, 0x41, nullptr, 1, 6, true},
          {Kind::Response, 0x40, 0x00, &kAcValues, 1, 6, true}},
         0,
         0.0f,
         0},
        {"second response to one command is ignored",
         {kOpen,
          kAcCommand,
          {Kind::Response, 0x40, 0x00, &kAcValues, 1, 0, true},
          {Kind::Response, 0x40, 0x00, &kAcValuesOther, 1, 0, true}},
         0,
         220.0f,
         1},
        {"rejected payload keeps the expectation for the next response",
         {kOpen,
          kAcCommand,
          {Kind::Response, 0x40, 0x00, &kAcValuesRejected, 1, 2, true},
          {Kind::Response, 0x40, 0x00, &kAcValues, 1, 0, true}},
         0,
         220.0f,
         1},
        {"frame error between command and response",
         {kOpen,
          kAcCommand,
          {Kind::Error, 0, 0, nullptr, 1, 0, true},
          {Kind::Response, 0x40, 0x00, &kAcValues, 1, 0, true}},
         0,
         0.0f,
         0},
        {"unknown pair 0x40/0x42",
         {kOpen,
          {Kind::Command, 0x40, 0x42, nullptr, 1, 13, true},
          {Kind::Response, 0x40, 0x00, &kAcValues, 1, 13, true}},
         0,
         0.0f,
         0},
        {"response with an error return code is taken as a command",
         {kOpen,
          kAcCommand,
          {Kind::Response, 0x40, 0x04, &kAcValues, 1, 13, true},
          {Kind::Response, 0x40, 0x00, &kAcValues, 1, 13, true}},
         0,
         0.0f,
         0},
        {"0x42/0x44 inside an open round starts it again",
         {kOpen, kAcCommand, {Kind::Response, 0x40, 0x00, &kAcValues, 1, 0, true}, kOpen},
         0,
         0.0f,
         0},
        {"responses accepted without decoding clear the expectation",
         {kOpen,
          {Kind::Command, 0x42, 0x46, nullptr, 1, 4, true},
          {Kind::Response, 0x42, 0x00, &kVendor, 1, 0, true},
          {Kind::Command, 0xE1, 0xF7, nullptr, 1, 11, true},
          {Kind::Response, 0xE1, 0x00, &kVendor, 1, 0, true}},
         0,
         0.0f,
         0},
    };
    return s;
}

int run_step(ProbeDriver& d, const Step& s) {
    static const Bytes kNone;
    if (s.kind == Kind::Error) return d.frame_error();
    return d.deliver(s.cid1, s.cid2, s.info != nullptr ? *s.info : kNone);
}

TEST(CaptureStateMachine, Sequences) {
    for (const Sequence& seq : sequences()) {
        SCOPED_TRACE(seq.name);
        Harness h;
        testing::internal::CaptureStdout();
        for (size_t i = 0; i < seq.steps.size(); ++i) {
            SCOPED_TRACE("step " + std::to_string(i));
            const Step& s = seq.steps[i];
            EXPECT_EQ(run_step(*h.drv, s), s.result);
            EXPECT_EQ(h.drv->expected_response_, s.expected);
            EXPECT_EQ(h.drv->round_open_, s.open);
        }
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(h.sink.published.size(), seq.rounds_done);
        const float a = h.drv->round_data_.ac_channels[0].a;
        EXPECT_EQ(a, seq.ac_a);
        EXPECT_EQ(h.drv->round_data_.ac.channel_count, seq.ac_count);
    }
}

TEST(CaptureStateMachine, ClosedRoundIsCopiedPublishedAndKept) {
    Harness h;
    testing::internal::CaptureStdout();
    for (const Step& s : sequences()[0].steps) run_step(*h.drv, s);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(h.sink.published.size(), 1u);
    const Bytes& rec = h.sink.published[0];
    ASSERT_EQ(rec.size(), kRecordSize);
    EXPECT_EQ(load_le_u32(&rec[0]), 418u);     // data_id from the device
    EXPECT_EQ(load_le_f32(&rec[36]), 220.0f);  // ac_channels[0].a
    EXPECT_EQ(load_le_f32(&rec[48]), 50.0f);   // ac_channels[0].f
    EXPECT_EQ(rec[2352], 0x02);                // dc.alert_v
    EXPECT_EQ(rec[2353], 2);                   // dc.alert_m_count
    EXPECT_EQ(rec[2355], 1);                   // dc.alert_m[1]
    // The live record equals the round buffer, which keeps its content after the
    // close, but for the time stamp the round completion writes into the live record.
    Bytes live = testsupport::record_bytes(h.drv->live());
    Bytes round = testsupport::record_bytes(h.drv->round_data_);
    constexpr size_t kUpdateTime = 2459;
    EXPECT_TRUE(std::all_of(round.begin() + kUpdateTime, round.begin() + kUpdateTime + 7,
                            [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(load_le_u16(&live[kUpdateTime]), 2026);  // stamped with the device clock
    std::fill(live.begin() + kUpdateTime, live.begin() + kUpdateTime + 7, 0);
    EXPECT_EQ(live, round);
    EXPECT_EQ(load_le_u32(&testsupport::record_bytes(h.drv->round_data_)[0]), 418u);
}

TEST(CaptureStateMachine, RoundStartClearsTheBufferAndSetsTheDataId) {
    Harness h;
    std::memset(static_cast<void*>(&h.drv->round_data_), 0xA5, sizeof h.drv->round_data_);
    h.drv->start_round();
    Bytes want(kRecordSize, 0);
    store_le_u32(want.data(), 418);
    EXPECT_EQ(testsupport::record_bytes(h.drv->round_data_), want);
    EXPECT_TRUE(h.drv->round_open_);
}

TEST(CaptureStateMachine, FinishWithoutOpenRoundDoesNothing) {
    Harness h;
    h.drv->expected_response_ = 12;
    EXPECT_EQ(h.drv->finish_round(), 1);
    EXPECT_EQ(h.drv->expected_response_, 0);
    EXPECT_TRUE(h.sink.published.empty());
}

TEST(CaptureStateMachine, FinishRoundDumpsBothRecords) {
    Harness h;
    h.drv->start_round();
    testing::internal::CaptureStdout();
    EXPECT_EQ(h.drv->finish_round(), 0);
    const std::vector<std::string> lines =
        testsupport::split_lines(testing::internal::GetCapturedStdout());
    const std::string before = "Veltra_Quelm_K418T_419::finish_round round_data_ before cData copy";
    const std::string after = "Veltra_Quelm_K418T_419::finish_round cData before return";
    ASSERT_GE(lines.size(), 100u);
    EXPECT_EQ(lines.front(), before + ".data_id=418 out_v=0 channel_count=0");
    EXPECT_EQ(lines[49].rfind(before + ".dc2.update_time.", 0), 0u);
    EXPECT_EQ(lines[lines.size() - 50], after + ".data_id=418 out_v=0 channel_count=0");
    EXPECT_EQ(lines.back().rfind(after + ".dc2.update_time.", 0), 0u);
    EXPECT_EQ(h.sink.published.size(), 1u);
}

TEST(CaptureStateMachine, CommandTable) {
    Harness h;
    for (const CaptureCommand& c : kCaptureCommands) {
        EXPECT_EQ(h.drv->command_for(c.cid1, c.cid2), c.code);
        h.drv->expected_response_ = c.code;
        for (unsigned cid1 : {0x40u, 0x41u, 0x42u, 0xE1u, 0x43u}) {
            EXPECT_EQ(h.drv->response_matches(static_cast<unsigned char>(cid1)),
                      cid1 == c.response_cid1)
                << "code " << c.code << " cid1 " << cid1;
        }
    }
    EXPECT_EQ(h.drv->command_for(0x40, 0x42), 13);
    EXPECT_EQ(h.drv->command_for(0x41, 0x45), 13);
    EXPECT_EQ(h.drv->command_for(0x44, 0x42), 13);
    for (int code : {0, 13, -1, 14}) {
        h.drv->expected_response_ = code;
        for (unsigned cid1 : {0x40u, 0x41u, 0x42u, 0xE1u}) {
            EXPECT_FALSE(h.drv->response_matches(static_cast<unsigned char>(cid1)));
        }
    }
}

TEST(CaptureStateMachine, RefreshStatusSendsNothing) {
    Harness h;
    h.drv->set_refresh_status(1);
    EXPECT_EQ(h.drv->RefreshStatus(), 1);
    EXPECT_EQ(h.drv->refresh_status(), 0);
    EXPECT_TRUE(h.sink.calls_named("SendData").empty());
}

TEST(CaptureStateMachine, DecoderNeverGetsMoreInfoThanTheFrameHolds) {
    // A rectifier analog payload of one module; LENID claims 20 bytes more than arrived.
    const Bytes info =
        testsupport::hex("00" + testsupport::f32(53.5f) + "01" + testsupport::f32(5.0f) + "00");
    Harness h;
    testing::internal::CaptureStdout();
    h.drv->deliver(0x42, 0x44, {0xFF});
    h.drv->deliver(0x41, 0x41, {});
    EXPECT_EQ(h.drv->deliver_raw(0x41, 0x00, 2 * (info.size() + 20), info), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(h.drv->expected_response_, 0);
    EXPECT_EQ(h.drv->round_data_.channel_count, 1);
}

// Line noise between the frames of a round may cost that round's responses, never the next
// round.
TEST(CaptureStateMachine, NoiseOnTheLineDoesNotStopTheNextRound) {
    using veltra_frames::LineAddress;
    const veltra_frames::PlantSnapshot first = small_plant(220.0f);
    const veltra_frames::PlantSnapshot second = small_plant(231.0f);
    std::string noisy;
    const std::vector<veltra_frames::Exchange> ex = veltra_frames::round_exchanges(first);
    std::string bad_checksum = veltra_frames::response_frame(LineAddress(), 0x40, kAcValues);
    bad_checksum[bad_checksum.size() - 2] =
        bad_checksum[bad_checksum.size() - 2] == '0' ? '1' : '0';
    for (size_t i = 0; i < ex.size(); ++i) {
        noisy +=
            veltra_frames::command_frame(LineAddress(), ex[i].cid1, ex[i].cid2, ex[i].command_info);
        if (i == 1) noisy += "\x01\x02junk\r\n";
        if (i == 2) noisy += "~2101404100";  // half a frame, cut by the next SOI
        if (i == 3) noisy += bad_checksum;
        noisy += veltra_frames::response_frame(LineAddress(), ex[i].cid1, ex[i].response_info);
    }
    Harness h;
    testing::internal::CaptureStdout();
    h.feed(noisy);
    h.feed("~21014\r");
    h.feed(veltra_frames::round_text(second));
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(h.sink.published.size(), 2u);
    EXPECT_EQ(load_le_f32(&h.sink.published[1][36]), 231.0f);
    EXPECT_EQ(load_le_f32(&h.sink.published[1][2225]), 53.5f);
    EXPECT_EQ(h.sink.published[1][2352], 0x02);
}

}  // namespace
