// AC distribution payloads: layouts, bounds and what a rejected payload leaves behind.

#include <gtest/gtest.h>

#include "tests/support/decoder_cases.h"

namespace {

using testsupport::DecoderCase;
using testsupport::f32;

// One input block of 0x40/0x41 and the record bytes it fills (a b c f, then the count 0).
std::string input_block(float a, float b, float c, float f) {
    return f32(a) + f32(b) + f32(c) + f32(f);
}
const std::string kIn1 = input_block(220.0f, 221.0f, 222.0f, 50.0f);
const std::string kIn2 = input_block(229.5f, 230.0f, 230.5f, 49.9f);
const std::string kCurrents = f32(20.0f) + f32(21.0f) + f32(22.0f);

TEST(CaptureAc, AnalogValues) {
    testsupport::run_decoder_cases(
        &Veltra_Quelm_K418T_419::parse40_41_capture,
        {
            {"one input without user values",
             "FF01" + kIn1 + "00" + kCurrents,
             31,
             {{20, "01"}, {36, kIn1 + "00"}, {8, kCurrents}}},
            {"two inputs",
             "0002" + kIn1 + "00" + kIn2 + "00" + kCurrents,
             48,
             {{20, "02"}, {36, kIn1 + "00"}, {66, kIn2 + "00"}, {8, kCurrents}}},
            {"no inputs: the currents follow the count",
             "FF00" + kCurrents,
             14,
             {{20, "00"}, {8, kCurrents}}},
            {"three inputs are refused before anything is stored",
             "FF03" + kIn1 + "00" + kIn1 + "00" + kIn1 + "00" + kCurrents,
             -1,
             {}},
            {"user values are consumed and dropped",
             "FF01" + kIn1 + "04" + f32(1.0f) + f32(2.0f) + f32(3.0f) + f32(4.0f) + kCurrents,
             47,
             {{20, "01"}, {36, kIn1 + "00"}, {8, kCurrents}}},
            {"ends inside the phase C current",
             "FF01" + kIn1 + "00" + kCurrents.substr(0, 20),
             -1,
             {{20, "01"}, {36, kIn1 + "00"}, {8, f32(20.0f) + f32(21.0f)}}},
            {"ends inside the user values",
             "FF01" + kIn1 + "02" + f32(1.0f),
             -1,
             {{20, "01"}, {36, kIn1 + "00"}}},
            {"ends inside the second input's frequency",
             "FF02" + kIn1 + "00" + kIn2.substr(0, 30),
             -1,
             {{20, "02"}, {36, kIn1 + "00"}, {66, kIn2.substr(0, 24)}}},
            {"bytes after the currents are not examined",
             "FF00" + kCurrents + "ABCDEF",
             14,
             {{20, "00"}, {8, kCurrents}}},
            {"only the DATAFLAG", "FF", -1, {}},
            {"empty payload", "", -1, {}},
        });
}

TEST(CaptureAc, Alarms) {
    const std::string ten_codes = "11121314151617181920";
    testsupport::run_decoder_cases(
        &Veltra_Quelm_K418T_419::parse40_44_capture,
        {
            {"further states stepped over, codes beyond eight dropped",
             "FF01 01020304 03AABBCC 0A" + ten_codes + "050607",
             24,
             {{53, "01020304"}, {57, "08" + ten_codes.substr(0, 16)}, {26, "050607"}}},
            {"two inputs; the input count is not stored",
             "FF02 00000001 00 01 09 02030400 01 55 02 0708 010000",
             21,
             {{53, "00000001"},
              {57, "0109"},
              {83, "02030400"},
              {87,
               "02"
               "0708"},
              {26, "010000"}}},
            {"no inputs", "FF00 030201", 5, {{26, "030201"}}},
            {"three inputs are refused",
             "FF03 000000000000 000000000000 000000000000 000000",
             -1,
             {}},
            {"ends inside the user codes",
             "FF01 01000000 00 04 0203",
             -1,
             {{53, "01000000"},
              {57,
               "04"
               "0203"}}},
            {"further states longer than the payload",
             "FF01 00000002 05 0102",
             -1,
             {{53, "00000002"}}},
            {"ends inside the current alarms", "FF00 0102", -1, {{26, "0102"}}},
            {"bytes after the current alarms are not examined",
             "FF00 000000 FFFF",
             5,
             {{26, "000000"}}},
        });
}

TEST(CaptureAc, AlarmsNeverWriteBeyondTheEightCodes) {
    // 255 user codes: eight kept, the rest read and dropped, the phase-current alarms after.
    std::string codes;
    for (int i = 0; i < 255; ++i) codes += "EE";
    testsupport::run_decoder_cases(
        &Veltra_Quelm_K418T_419::parse40_44_capture,
        {{"255 user codes",
          "FF01 00000000 00 FF" + codes + "010203",
          2 + 6 + 255 + 3,
          {{53, "00000000"}, {57, "08EEEEEEEEEEEEEEEE"}, {26, "010203"}}}});
}

}  // namespace
