// DC distribution payloads: panel layouts, list truncation, the panel count and what a
// rejected payload leaves behind.

#include <gtest/gtest.h>

#include "tests/support/decoder_cases.h"

namespace {

using testsupport::DecoderCase;
using testsupport::f32;
using testsupport::zeros;

// Record offsets of the panel fields: dc at 2221, dc2 at 2466.
constexpr size_t kV = 2225;
constexpr size_t kAlertV = 2352, kAlertPCount = 2364;
constexpr size_t kPanel2 = 245;

std::string floats(int n, float first) {
    std::string s;
    for (int k = 0; k < n; ++k) s += f32(first + static_cast<float>(k));
    return s;
}

std::string codes(int n, int first) {
    std::string s;
    for (int k = 0; k < n; ++k) {
        const uint8_t b = static_cast<uint8_t>(first + k);
        s += smd::to_hex(&b, 1);
    }
    return s;
}

const std::string kVI1 = f32(53.5f) + f32(151.25f);
const std::string kVI2 = f32(53.4375f) + f32(62.5f);

TEST(CaptureDc, AnalogValues) {
    testsupport::run_decoder_cases(
        &Veltra_Quelm_K418T_419::parse42_41_capture,
        {
            {"one panel, one current",
             "FF01" + kVI1 + "01" + f32(90.0f) + "00" + "00",
             17,
             {{kV, kVI1 + "01" + f32(90.0f) + zeros(4) + "00" + "00" + zeros(108)}},
             1},
            {"two panels follow each other",
             "FF02" + kVI1 +
                 "00"
                 "00"
                 "00" +
                 kVI2 + "02" + floats(2, 30.0f) +
                 "00"
                 "01" +
                 f32(25.0f),
             2 + 11 + 23,
             {{kV, kVI1 + "00" + zeros(8) +
                       "00"
                       "00" +
                       zeros(108)},
              {kV + kPanel2, kVI2 + "02" + floats(2, 30.0f) +
                                 "00"
                                 "01" +
                                 f32(25.0f) + zeros(104)}},
             2},
            {"three currents: two kept",
             "FF01" + kVI1 + "03" + floats(3, 1.0f) +
                 "00"
                 "00",
             25,
             {{kV, kVI1 + "02" + floats(2, 1.0f) +
                       "00"
                       "00" +
                       zeros(108)}},
             1},
            {"branch currents stepped over",
             "FF01" + kVI1 +
                 "00"
                 "04" +
                 floats(4, 7.0f) + "00",
             29,
             {{kV, kVI1 + "00" + zeros(8) +
                       "00"
                       "00" +
                       zeros(108)}},
             1},
            {"28 user values: 27 kept",
             "FF01" + kVI1 +
                 "00"
                 "00"
                 "1C" +
                 floats(28, 1.0f),
             2 + 11 + 4 * 28,
             {{kV, kVI1 + "00" + zeros(8) +
                       "00"
                       "1B" +
                       floats(27, 1.0f)}},
             1},
            {"no panels", "FF00" + kVI1 + "000000", -1, {}, testsupport::kDcNumberBefore},
            {"three panels", "FF03" + kVI1 + "000000", -1, {}, testsupport::kDcNumberBefore},
            {"ends inside the current list: its count is written, the list is not",
             "FF01" + kVI1 + "02" + f32(1.0f),
             -1,
             {{kV, kVI1 + "02"}},
             1},
            {"ends inside the user values",
             "FF01" + kVI1 + "01" + f32(9.0f) +
                 "00"
                 "03" +
                 floats(2, 1.0f),
             -1,
             {{kV, kVI1 + "01" + f32(9.0f) + zeros(4) +
                       "00"
                       "03"}},
             1},
            {"second panel missing",
             "FF02" + kVI1 + "000000",
             -1,
             {{kV, kVI1 + "00" + zeros(8) +
                       "00"
                       "00" +
                       zeros(108)}},
             2},
            {"bytes after the last panel are not examined",
             "FF01" + kVI1 + "000000" + "DEAD",
             13,
             {{kV, kVI1 + "00" + zeros(8) +
                       "00"
                       "00" +
                       zeros(108)}},
             1},
            {"only the DATAFLAG", "FF", -1, {}, testsupport::kDcNumberBefore},
        });
}

TEST(CaptureDc, Alarms) {
    testsupport::run_decoder_cases(
        &Veltra_Quelm_K418T_419::parse42_44_capture,
        {
            {"two fuses, one blown",
             "FF01 00 02 0001 00",
             7,
             {{kAlertV,
               "00"
               "02"
               "0001"},
              {kAlertPCount, "00"}},
             1},
            {"12 fuses and 90 user codes: 10 and 87 kept",
             "FF01 04 0C" + codes(12, 1) + "5A" + codes(90, 0x20),
             2 + 3 + 12 + 90,
             {{kAlertV,
               "04"
               "0A" +
                   codes(10, 1) + "57" + codes(87, 0x20)}},
             1},
            {"two panels",
             "FF02 01 01 03 01 07 00 02 0000 00",
             12,
             {{kAlertV,
               "01"
               "01"
               "03"},
              {kAlertPCount,
               "01"
               "07"},
              {kAlertV + kPanel2,
               "00"
               "02"
               "0000"},
              {kAlertPCount + kPanel2, "00"}},
             2},
            {"second panel truncated",
             "FF02 00 01 00 00 05 03 0102",
             -1,
             {{kAlertV,
               "00"
               "01"
               "00"},
              {kAlertPCount, "00"},
              {kAlertV + kPanel2,
               "05"
               "03"
               "0102"}},
             2},
            {"no panels", "FF00 000000", -1, {}, testsupport::kDcNumberBefore},
            {"three panels", "FF03 000000 000000 000000", -1, {}, testsupport::kDcNumberBefore},
            {"ends before the user-code count",
             "FF01 00 01 03",
             -1,
             {{kAlertV,
               "00"
               "01"
               "03"}},
             1},
        });
}

// The panel count follows whichever DC response came last in the round.
TEST(CaptureDc, PanelCountFollowsTheLastResponse) {
    testsupport::DriverHarness<testsupport::ProbeDriver> h;
    const testsupport::Bytes alarms = testsupport::hex("FF02 00 00 00 00 00 00");
    const testsupport::Bytes values = testsupport::hex("FF01" + kVI1 + "000000");
    EXPECT_EQ(h.drv->parse42_44_capture(alarms.data(), static_cast<int>(alarms.size())), 8);
    EXPECT_EQ(h.drv->dc_number, 2u);
    EXPECT_EQ(h.drv->parse42_41_capture(values.data(), static_cast<int>(values.size())), 13);
    EXPECT_EQ(h.drv->dc_number, 1u);
    // The panel count is no part of the record and survives a new round.
    h.drv->start_round();
    EXPECT_EQ(h.drv->dc_number, 1u);
}

}  // namespace
