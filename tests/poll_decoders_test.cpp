// Polling decoders: layouts, fixed-point scaling, no-value markers, the layout
// options and counts that exceed the record's arrays.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "tests/support/poll_rig.h"

namespace {

using namespace testsupport;

constexpr uint32_t kNoValue = 0xBDCCCCCDu;  // -0.1f

int run(Family& d, int (Family::*decoder)(const unsigned char*, int), const Bytes& b) {
    return (d.*decoder)(b.data(), static_cast<int>(b.size()));
}

// The record bytes from `offset` on, for checks that nothing past an array was written.
std::vector<uint8_t> bytes_from(const veltra_quelm_k418t_419_Data_t& r, size_t offset) {
    const auto* p = reinterpret_cast<const uint8_t*>(&r);
    return std::vector<uint8_t>(p + offset, p + sizeof r);
}

TEST(PollAcDecoders, StatesTable) {
    PollProbe d;
    EXPECT_EQ(4, run(d, &Family::parse40_43, {0x00, 0x02, 0x05, 0x06}));
    EXPECT_EQ(0, d.cData.ac.airlock_count);
    EXPECT_EQ(2, d.cData.ac.p40_43_count);
    EXPECT_EQ(5, d.cData.ac.p40_43[0]);
    EXPECT_EQ(6, d.cData.ac.p40_43[1]);

    // Any breaker state is refused once its count is stored.
    EXPECT_EQ(-1, run(d, &Family::parse40_43, {0x01, 0x09, 0x00}));
    EXPECT_EQ(1, d.cData.ac.airlock_count);

    // More than three further states: consumed but not stored, length not compared.
    EXPECT_EQ(7, run(d, &Family::parse40_43, {0x00, 0x05, 0x01, 0x02}));
    EXPECT_EQ(5, d.cData.ac.p40_43_count);
    EXPECT_EQ(5, d.cData.ac.p40_43[0]);

    d.has_tower = true;
    EXPECT_EQ(6, run(d, &Family::parse40_43, {0x00, 0x02, 0xAA, 0xBB, 0x01, 0x04}));
    EXPECT_EQ(4, d.cData.ac.p40_43[0]);
}

TEST(PollAcDecoders, FixedPointAnalogScalingAndMarkers) {
    PollProbe d;
    // M = 1; a 230.00 V, b marker, c 0.00 (zero is a value), f 50.00 Hz; P0 = 0;
    // ia 3.00 A, ib marker, ic 0x0101 marker.
    const Bytes b = {0x01, 0x59, 0xD8, 0x20, 0x20, 0x00, 0x00, 0x13,
                     0x88, 0x00, 0x01, 0x2C, 0x07, 0x07, 0x01, 0x01};
    EXPECT_EQ(16, run(d, &Family::parse40_42, b));
    const auto& ch = d.cData.ac_channels[0];
    const float a = ch.a, bv = ch.b, c = ch.c, f = ch.f, ia = d.cData.ac.ia;
    EXPECT_EQ(230.0f, a);
    EXPECT_EQ(0.0f, bv);
    EXPECT_EQ(0.0f, c);
    EXPECT_EQ(50.0f, f);
    EXPECT_EQ(3.0f, ia);
    EXPECT_EQ(kNoValue, bits(d.cData.ac.ib));
    EXPECT_EQ(kNoValue, bits(d.cData.ac.ic));
    EXPECT_EQ(1, d.cData.ac.channel_count);

    // A user count is logged as its character and its values stepped over.
    Bytes with_user = b;
    with_user[9] = 0x01;
    with_user.insert(with_user.begin() + 10, {0x12, 0x34});
    std::string log;
    int r = 0;
    log = stdout_of([&] { r = run(d, &Family::parse40_42, with_user); });
    EXPECT_EQ(18, r);
    EXPECT_EQ(std::string("acChannel.p40_41_count \x01\n"), log);

    log = stdout_of([&] { r = run(d, &Family::parse40_42, Bytes(b.begin(), b.end() - 1)); });
    EXPECT_EQ(-1, r);
    EXPECT_EQ("parse40_42:overflow\n", log);
}

TEST(PollAcDecoders, FloatAnalogMarkersTowersAndLogs) {
    PollProbe d;
    d.has_tower = true;
    const Bytes b = cat({{0x01},
                         {0x44, 0x44, 0x44, 0x44},
                         f32(221.0f),
                         f32(0.0f),
                         f32(50.0f),
                         {0x02},
                         f32(1.0f),
                         f32(2.0f),
                         {0x00},
                         f32(7.5f),
                         {0x33, 0x33, 0x33, 0x33},
                         f32(0.0f)});
    std::string log;
    int r = 0;
    log = stdout_of([&] { r = run(d, &Family::parse40_41, b); });
    EXPECT_EQ(static_cast<int>(b.size()), r);
    const auto& ch = d.cData.ac_channels[0];
    const float a = ch.a, bv = ch.b, ia = d.cData.ac.ia, ic = d.cData.ac.ic;
    EXPECT_EQ(0.0f, a);
    EXPECT_EQ(221.0f, bv);
    EXPECT_EQ(7.5f, ia);
    EXPECT_EQ(kNoValue, bits(d.cData.ac.ib));
    EXPECT_EQ(0.0f, ic);
    EXPECT_EQ(0, ch.p40_41_count);
    EXPECT_EQ(std::string("parse40_41 channel_count is \x01\n"
                          "a 44 44 44 44\n"
                          "parse40_41 acChannel.a is 0\n"
                          "tower_count is 0\n"
                          "ia is 7.500000\n"),
              log);
}

TEST(PollAcDecoders, AlarmsOverflowIsLoggedNotRefused) {
    PollProbe d;
    const Bytes b = {0x01, 1, 2, 3, 4, 0x02, 0xEE, 0xEE, 0x03, 7, 8, 9, 0x0A, 0x0B, 0x0C};
    std::string log;
    int r = 0;
    log = stdout_of([&] { r = run(d, &Family::parse40_44, b); });
    EXPECT_EQ(15, r);
    EXPECT_EQ("channel is 1\n", log);
    const auto& ch = d.cData.ac_channels[0];
    EXPECT_EQ(3, ch.p40_44_count);
    EXPECT_EQ(7, ch.p40_44[0]);
    EXPECT_EQ(9, ch.p40_44[2]);
    EXPECT_EQ(0x0C, d.cData.ac.ic_alert);

    const Bytes cut(b.begin(), b.end() - 2);
    log = stdout_of([&] { r = run(d, &Family::parse40_44, cut); });
    EXPECT_GT(r, static_cast<int>(cut.size()));
    EXPECT_EQ("channel is 1\nPMBusPowerAC:ProcotolError read 40_44 read overflow\n", log);
}

TEST(PollAcDecoders, ModelBranchAndTowersPlaceExtraCodes) {
    PollProbe d;
    d.set_device_type("vrq55_h302v20_419");
    d.has_tower = true;
    // K = 2 codes kept, tower n = 1 code, P = 2 codes, then the currents and one extra code.
    const Bytes b = {0x01, 1,    2,    3,    4, 0x02, 0xA1, 0xA2, 0x01,
                     0xB1, 0x02, 0xC1, 0xC2, 5, 6,    7,    0xD1};
    EXPECT_EQ(static_cast<int>(b.size()), run(d, &Family::parse40_44, b));
    const auto& ch = d.cData.ac_channels[0];
    EXPECT_EQ((std::vector<uint8_t>{0xA1, 0xA2, 0xB1, 0xC1, 0xC2, 0xD1, 0, 0}),
              std::vector<uint8_t>(ch.p40_44, ch.p40_44 + 8));

    // The extra AC analog value has no place in the record; the count says 1.
    d.has_tower = false;
    const Bytes a = cat({{0x01},
                         f32(230.0f),
                         f32(230.0f),
                         f32(230.0f),
                         f32(50.0f),
                         {0x09},
                         f32(4.25f),
                         f32(1.0f),
                         f32(1.0f),
                         f32(1.0f)});
    std::string log;
    int r = 0;
    const auto after_channels = bytes_from(d.cData, offsetof(veltra_quelm_k418t_419_Data_t, out_v));
    log = stdout_of([&] { r = run(d, &Family::parse40_41, a); });
    EXPECT_EQ(static_cast<int>(a.size()), r);
    EXPECT_EQ(1, d.cData.ac_channels[0].p40_41_count);
    EXPECT_NE(std::string::npos, log.find("parse40_41 1:4.250000\n")) << log;
    EXPECT_EQ(after_channels, bytes_from(d.cData, offsetof(veltra_quelm_k418t_419_Data_t, out_v)));
}

TEST(PollAcDecoders, InputsBeyondTwoAreDropped) {
    PollProbe d;
    d.cData.out_v = 48.0f;
    Bytes b = {0x03};
    for (int i = 0; i < 3; ++i)
        b = cat({b, f32(230.0f + i), f32(231.0f), f32(232.0f), f32(50.0f), {0x00}});
    b = cat({b, f32(1.0f), f32(2.0f), f32(3.0f)});
    const auto tail = bytes_from(d.cData, offsetof(veltra_quelm_k418t_419_Data_t, out_v));
    EXPECT_EQ(static_cast<int>(b.size()), run(d, &Family::parse40_41, b));
    EXPECT_EQ(3, d.cData.ac.channel_count);
    const float a1 = d.cData.ac_channels[1].a, ia = d.cData.ac.ia;
    EXPECT_EQ(231.0f, a1);
    EXPECT_EQ(1.0f, ia);
    EXPECT_EQ(tail, bytes_from(d.cData, offsetof(veltra_quelm_k418t_419_Data_t, out_v)));
}

TEST(PollRectifierDecoders, FixedPointScaling) {
    PollProbe d;
    // out_v 53.50 V; module 0: 10.00 A, two values (raw 0x0123, marker 0x4545 -> 0.0).
    const Bytes b = {0x00, 0x14, 0xE6, 0x01, 0x03, 0xE8, 0x02, 0x01, 0x23, 0x45, 0x45};
    EXPECT_EQ(11, run(d, &Family::parse41_42, b));
    const auto& ch = d.cData.channels[0];
    const float out_v = d.cData.out_v, out_i = ch.out_i, p0 = ch.p41_41[0], p1 = ch.p41_41[1];
    EXPECT_EQ(53.5f, out_v);
    EXPECT_EQ(10.0f, out_i);
    EXPECT_EQ(291.0f, p0);
    EXPECT_EQ(0.0f, p1);
    EXPECT_EQ(2, ch.p41_41_count);
    d.divisor_ = 10;
    EXPECT_EQ(11, run(d, &Family::parse41_42, b));
    const float tenths = d.cData.channels[0].out_i;
    EXPECT_EQ(100.0f, tenths);
}

TEST(PollRectifierDecoders, SkipAfterEachModule) {
    PollProbe d;
    d.skip_41_41 = 2;
    const Bytes b = cat(
        {{0x00}, f32(53.0f), {0x02}, f32(1.0f), {0x00, 0xEE, 0xEE}, f32(2.0f), {0x00, 0xEE, 0xEE}});
    ASSERT_EQ(20u, b.size());
    EXPECT_EQ(20, run(d, &Family::parse41_41, b));
    const float i1 = d.cData.channels[1].out_i;
    EXPECT_EQ(2.0f, i1);
    // The skipped bytes of the last module must be there.
    EXPECT_EQ(-1, run(d, &Family::parse41_41, Bytes(b.begin(), b.end() - 1)));
}

TEST(PollRectifierDecoders, TowerValuesAndUserValues) {
    PollProbe d;
    d.has_tower = true;
    d.cData.channels[0].shutdown = 0x77;
    // Module 0: five tower values (the first kept), then four user values at 5..8:
    // 5 and 6 fit, 7 and 8 are dropped; a user value of equal bytes is 0.0.
    Bytes b = cat({{0x00}, f32(53.0f), {0x01}, f32(9.0f), {0x05}, f32(35.5f)});
    for (int k = 0; k < 4; ++k) b = cat({b, f32(1.0f)});
    b = cat({b, {0x04}, f32(11.0f), {0x22, 0x22, 0x22, 0x22}, f32(13.0f), f32(14.0f)});
    std::string log;
    int r = 0;
    log = stdout_of([&] { r = run(d, &Family::parse41_41, b); });
    EXPECT_EQ(static_cast<int>(b.size()), r);
    const auto& ch = d.cData.channels[0];
    const float t0 = ch.p41_41[0], v5 = ch.p41_41[5], v6 = ch.p41_41[6];
    EXPECT_EQ(35.5f, t0);
    EXPECT_EQ(11.0f, v5);
    EXPECT_EQ(0.0f, v6);
    EXPECT_EQ(4, ch.p41_41_count);
    EXPECT_EQ(0x77, ch.shutdown);
    EXPECT_EQ(std::string("parse 41_41 channel is 1\n"
                          "41 41 tower_count:5 temp:35.500000 p41_41:0 0 e 42\n"
                          "41_41_count:4\n"),
              log);
}

TEST(PollRectifierDecoders, StatesAndAlarmsFollowTheStoredModuleCount) {
    PollProbe d;
    d.cData.channel_count = 2;
    d.has_tower = true;
    // The payload's own count (9) is not used. Module 1 has seven states: stepped over.
    const Bytes states = {0x00, 0x09, 1,    0,    1, 0x01, 0xAA, 0x02, 0x05, 0x06, 0,
                          1,    0,    0x00, 0x07, 1, 2,    3,    4,    5,    6,    7};
    EXPECT_EQ(static_cast<int>(states.size()), run(d, &Family::parse41_43, states));
    EXPECT_EQ(2, d.cData.channels[0].p41_43_count);
    EXPECT_EQ(6, d.cData.channels[0].p41_43[1]);
    EXPECT_EQ(7, d.cData.channels[1].p41_43_count);
    EXPECT_EQ(0, d.cData.channels[1].p41_43[0]);
    EXPECT_EQ(1, d.cData.channels[1].i_limit);

    // Alarm codes are placed after the tower codes; index 8 on is dropped.
    d.cData.channels[1].out_i = 4.0f;
    const Bytes alarms = {0x00, 0x09, 0x03, 0x07, 1,    2,    3,    4,    5,
                          6,    7,    0x03, 0xC1, 0xC2, 0xC3, 0x00, 0x00, 0x00};
    EXPECT_EQ(static_cast<int>(alarms.size()), run(d, &Family::parse41_44, alarms));
    const auto& ch = d.cData.channels[0];
    EXPECT_EQ(3, ch.fault);
    EXPECT_EQ(3, ch.p41_44_count);
    EXPECT_EQ(0xC1, ch.p41_44[7]);
    const float next = d.cData.channels[1].out_i;
    EXPECT_EQ(4.0f, next);
}

TEST(PollRectifierDecoders, ModulesBeyondFortyAreDropped) {
    PollProbe d;
    Bytes b = cat({{0x00}, f32(53.0f), {45}});
    for (int j = 0; j < 45; ++j) b = cat({b, f32(static_cast<float>(j)), {0x00}});
    const auto dc = bytes_from(d.cData, offsetof(veltra_quelm_k418t_419_Data_t, dc));
    EXPECT_EQ(static_cast<int>(b.size()), run(d, &Family::parse41_41, b));
    EXPECT_EQ(45, d.cData.channel_count);
    const float last = d.cData.channels[39].out_i;
    EXPECT_EQ(39.0f, last);
    EXPECT_EQ(dc, bytes_from(d.cData, offsetof(veltra_quelm_k418t_419_Data_t, dc)));
    // The state and alarm decoders run over the stored 45 without leaving the record.
    Bytes s = {0x00, 45};
    for (int j = 0; j < 45; ++j) s.insert(s.end(), {1, 1, 1, 0});
    EXPECT_EQ(static_cast<int>(s.size()), run(d, &Family::parse41_43, s));
    EXPECT_EQ(dc, bytes_from(d.cData, offsetof(veltra_quelm_k418t_419_Data_t, dc)));
}

TEST(PollDcDecoders, FloatPanelAdjustsTheTotalCurrent) {
    PollProbe d;
    d.dc_i_adjust = 2;
    const Bytes b = cat({f32(53.5f),
                         f32(25.0f),
                         {0x02},
                         f32(10.0f),
                         f32(15.0f),
                         {0x01},
                         f32(99.0f),
                         {0x02},
                         {0x41, 0x41, 0x41, 0x41},
                         f32(0.5f)});
    std::string log;
    int r = 0;
    log = stdout_of([&] { r = run(d, &Family::parse42_41, b); });
    EXPECT_EQ(static_cast<int>(b.size()), r);
    const auto& s = d.cData.dc;
    const float i = s.i, c1 = s.dc_i[1], p1 = s.p[1];
    EXPECT_EQ(50.0f, i);
    EXPECT_EQ(15.0f, c1);
    EXPECT_EQ(kNoValue, bits(s.p[0]));
    EXPECT_EQ(0.5f, p1);
    EXPECT_EQ(1, s.n);
    EXPECT_EQ("parse42_41 53.500000 50.000000\n", log);

    // Panel 2 goes to dc2; an oversized current list is stepped over.
    const Bytes b2 =
        cat({f32(54.0f), f32(5.0f), {0x03}, f32(1.0f), f32(2.0f), f32(3.0f), {0x00}, {0x00}});
    EXPECT_EQ(static_cast<int>(b2.size()), run(d, &Family::parse42_41_2, b2));
    const float v2 = d.cData.dc2.v, c0 = d.cData.dc2.dc_i[0];
    EXPECT_EQ(54.0f, v2);
    EXPECT_EQ(3, d.cData.dc2.m);
    EXPECT_EQ(0.0f, c0);
}

TEST(PollDcDecoders, FixedPointPanelScaling) {
    PollProbe d;
    d.dc_i_adjust = 3;  // not applied to the fixed-point form
    // v 53.50 V, i 25.00 A, m = 1 current 12.34 A, n = 1 (stepped over), p = 2: raw 7, marker.
    const Bytes b = {0x14, 0xE6, 0x09, 0xC4, 0x01, 0x04, 0xD2, 0x01,
                     0xFF, 0xFF, 0x02, 0x00, 0x07, 0x31, 0x31};
    EXPECT_EQ(7 + 2 * (1 + 1 + 2), run(d, &Family::parse42_42, b));
    const auto& s = d.cData.dc;
    const float v = s.v, i = s.i, c0 = s.dc_i[0], p0 = s.p[0];
    EXPECT_EQ(53.5f, v);
    EXPECT_EQ(25.0f, i);
    EXPECT_EQ(12.34f, c0);
    EXPECT_EQ(7.0f, p0);
    EXPECT_EQ(kNoValue, bits(s.p[1]));
    EXPECT_EQ(2, s.p_count);

    // More than 27 user values: the panel takes the rest of the payload.
    const Bytes big = {0x14, 0xE6, 0x09, 0xC4, 0x00, 0x00, 0x1C, 0x00, 0x01};
    EXPECT_EQ(9, run(d, &Family::parse42_42_2, big));
    EXPECT_EQ(28, d.cData.dc2.p_count);
}

TEST(PollDcDecoders, AlarmListsKeepWhatFits) {
    PollProbe d;
    Bytes b = {0x01, 12};
    for (int k = 1; k <= 12; ++k) b.push_back(static_cast<uint8_t>(k));
    b.insert(b.end(), {0x02, 0xE1, 0xE2});
    EXPECT_EQ(static_cast<int>(b.size()), run(d, &Family::parse42_44, b));
    const auto& s = d.cData.dc;
    EXPECT_EQ(12, s.alert_m_count);
    EXPECT_EQ(10, s.alert_m[9]);
    EXPECT_EQ(2, s.alert_p_count);
    EXPECT_EQ(0xE2, s.alert_p[1]);
    EXPECT_EQ(-1, run(d, &Family::parse42_44_2, Bytes(b.begin(), b.end() - 1)));
    EXPECT_EQ(12, d.cData.dc2.alert_m_count);
}

}  // namespace
