// Rectifier payloads: the all-or-nothing analog decoder, the state and alarm decoders that
// write as they read, and their progress log.

#include <gtest/gtest.h>

#include "record/record_dump.h"
#include "tests/support/decoder_cases.h"

namespace {

using testsupport::Bytes;
using testsupport::DecoderCase;
using testsupport::f32;
using testsupport::zeros;

constexpr size_t kOutV = 96;
constexpr size_t kModule0 = 101;
constexpr size_t kModuleSize = 53;
constexpr size_t kStates = 33;  // shutdown within a module entry
constexpr size_t kFault = 43;

size_t module_at(size_t j) { return kModule0 + kModuleSize * j; }

// A whole module entry as the analog decoder commits it: current, values, all else zero.
std::string module_entry(float out_i, const std::vector<float>& values) {
    std::string s = f32(out_i);
    const uint8_t n = static_cast<uint8_t>(values.size());
    s += smd::to_hex(&n, 1);
    for (float v : values) s += f32(v);
    return s + zeros(kModuleSize - 5 - 4 * values.size());
}

std::string module_block(float out_i, const std::vector<float>& values) {
    return module_entry(out_i, values).substr(0, 2 * (5 + 4 * values.size()));
}

const std::string kHeader2 = "FF" + f32(53.5f) + "02";
const std::string kTwoModules = module_block(5.0f, {}) + module_block(6.0f, {1.0f, 2.0f});

TEST(CaptureRectifier, AnalogValues) {
    std::string forty;
    std::string forty_entries;
    for (int j = 0; j < 40; ++j) {
        const std::vector<float> seven(7, static_cast<float>(j));
        forty += module_block(10.0f + j, seven);
        forty_entries += module_entry(10.0f + j, seven);
    }
    testsupport::run_decoder_cases(
        &Veltra_Quelm_K418T_419::parse41_41_capture,
        {
            {"two modules, the second with two values",
             kHeader2 + kTwoModules,
             24,
             {{kOutV, f32(53.5f) + "02" + module_entry(5.0f, {}) +
                          module_entry(6.0f, {1.0f, 2.0f}) + zeros(kModuleSize * 38)}}},
            {"no modules: every entry cleared",
             "FF" + f32(53.5f) + "00",
             6,
             {{kOutV, f32(53.5f) + "00" + zeros(kModuleSize * 40)}}},
            {"forty modules with seven values each",
             "00" + f32(54.0f) + "28" + forty,
             6 + 40 * 33,
             {{kOutV, f32(54.0f) + "28" + forty_entries}}},
            {"one byte too many", kHeader2 + kTwoModules + "00", -1, {}},
            {"eight values are refused, not truncated",
             kHeader2 + module_block(5.0f, std::vector<float>(8, 1.0f)) + module_block(6.0f, {}),
             -1,
             {}},
            {"41 modules", "FF" + f32(53.5f) + "29" + forty + module_block(1.0f, {}), -1, {}},
            {"ends inside the second module's values",
             kHeader2 + kTwoModules.substr(0, 32),
             -1,
             {}},
            {"ends inside the output voltage", "FF0000", -1, {}},
            {"empty payload", "", -1, {}},
        });
}

TEST(CaptureRectifier, States) {
    testsupport::run_decoder_cases(
        &Veltra_Quelm_K418T_419::parse41_43_capture,
        {
            {"nine states: six kept, the next module after all nine",
             "FF02 000102 09 111213141516171819 01000000",
             19,
             {{module_at(0) + kStates,
               "000102"
               "06"
               "111213141516"},
              {module_at(1) + kStates,
               "010000"
               "00"}}},
            {"no modules; bytes after the count are not examined", "FF00ABCD", 2, {}},
            {"41 modules", "FF29" + zeros(41 * 4), -1, {}},
            {"ends inside the second module's states",
             "FF02 010101 01 07 0000",
             -1,
             {{module_at(0) + kStates,
               "010101"
               "01"
               "07"},
              {module_at(1) + kStates, "0000"}}},
            {"ends inside the user states",
             "FF01 000000 03 0102",
             -1,
             {{module_at(0) + kStates,
               "000000"
               "03"
               "0102"}}},
        });
}

TEST(CaptureRectifier, Alarms) {
    testsupport::run_decoder_cases(&Veltra_Quelm_K418T_419::parse41_44_capture,
                                   {
                                       {"ten codes: eight kept",
                                        "FF01 02 0A 0102030405060708090A",
                                        14,
                                        {{module_at(0) + kFault,
                                          "02"
                                          "08"
                                          "0102030405060708"}}},
                                       {"truncated inside module 3's codes",
                                        "FF04 01 01 0A  00 00  03 02 0B0C  05 04 0A0B",
                                        -1,
                                        {{module_at(0) + kFault,
                                          "01"
                                          "01"
                                          "0A"},
                                         {module_at(1) + kFault,
                                          "00"
                                          "00"},
                                         {module_at(2) + kFault,
                                          "03"
                                          "02"
                                          "0B0C"},
                                         {module_at(3) + kFault,
                                          "05"
                                          "04"
                                          "0A0B"}}},
                                       {"no modules", "FF00", 2, {}},
                                       {"41 modules", "FF29" + zeros(41 * 2), -1, {}},
                                   });
}

// The analog response replaces whole module entries, so states decoded before it are lost.
TEST(CaptureRectifier, AnalogResponseClearsEarlierStates) {
    testsupport::DriverHarness<testsupport::ProbeDriver> h;
    h.drv->start_round();
    const Bytes states = testsupport::hex("FF01 010101 00");
    const Bytes values = testsupport::hex("FF" + f32(53.5f) + "01" + module_block(5.0f, {}));
    testing::internal::CaptureStdout();
    EXPECT_EQ(h.drv->parse41_43_capture(states.data(), static_cast<int>(states.size())), 6);
    EXPECT_EQ(h.drv->round_data_.channels[0].shutdown, 1);
    EXPECT_EQ(h.drv->parse41_41_capture(values.data(), static_cast<int>(values.size())), 11);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(h.drv->round_data_.channels[0].shutdown, 0);
    EXPECT_EQ(h.drv->round_data_.channels[0].charge, 0);
}

// ---- Progress log ------------------------------------------------------------------------

const std::string kT41 = "Veltra_Quelm_K418T_419::parse41_41_capture";
const std::string kT43 = "Veltra_Quelm_K418T_419::parse41_43_capture";
const std::string kT44 = "Veltra_Quelm_K418T_419::parse41_44_capture";
const std::string kEmptyRest =
    " shutdown=0 i_limit=0 charge=0 p41_43_count=0 p41_43=0 0 0 0 0 0 fault=0 p41_44_count=0 "
    "p41_44=0 0 0 0 0 0 0 0 ";

struct LogCase {
    const char* name;
    testsupport::Decoder decode;
    std::string info;
    int result;
    std::vector<std::string> lines;
};

std::vector<LogCase> log_cases() {
    using D = Veltra_Quelm_K418T_419;
    const std::string one_module = "FF" + f32(53.5f) + "01" + module_block(5.0f, {2.5f});
    return {
        {"analog payload accepted",
         &D::parse41_41_capture,
         one_module,
         15,
         {kT41 + " begin data_len=15", kT41 + " header flag=255 out_v=53.5 channel_count=1 used=6",
          kT41 + " channel data_len=15 used=11 channel_count=1 channel_index=0",
          kT41 + " out_i=5 p41_41_count=1", "before call read float values channel.p41_41_count:1",
          kT41 + " channel.out_i=5 p41_41_count=1 p41_41=0 0 0 0 0 0 0" + kEmptyRest,
          "after call read float values channel.p41_41_count:1",
          kT41 + " channel.out_i=5 p41_41_count=1 p41_41=2.5 0 0 0 0 0 0" + kEmptyRest,
          kT41 + " complete used=15"}},
        {"analog payload with a trailing byte",
         &D::parse41_41_capture,
         one_module + "00",
         -1,
         {kT41 + " begin data_len=16", kT41 + " header flag=255 out_v=53.5 channel_count=1 used=6",
          kT41 + " channel data_len=16 used=11 channel_count=1 channel_index=0",
          kT41 + " out_i=5 p41_41_count=1", "before call read float values channel.p41_41_count:1",
          kT41 + " channel.out_i=5 p41_41_count=1 p41_41=0 0 0 0 0 0 0" + kEmptyRest,
          "after call read float values channel.p41_41_count:1",
          kT41 + " channel.out_i=5 p41_41_count=1 p41_41=2.5 0 0 0 0 0 0" + kEmptyRest,
          kT41 + " reject trailing_bytes=1"}},
        {"analog module with eight values",
         &D::parse41_41_capture,
         "00" + f32(53.5f) + "01" + f32(5.0f) + "08" + zeros(32),
         -1,
         {kT41 + " begin data_len=43", kT41 + " header flag=0 out_v=53.5 channel_count=1 used=6",
          kT41 + " channel data_len=43 used=11 channel_count=1 channel_index=0",
          kT41 + " out_i=5 p41_41_count=8"}},
        {"analog payload with 41 modules",
         &D::parse41_41_capture,
         "00" + f32(53.5f) + "29",
         -1,
         {kT41 + " begin data_len=6", kT41 + " header flag=0 out_v=53.5 channel_count=41 used=6"}},
        {"analog header cut short",
         &D::parse41_41_capture,
         "00" + f32(53.5f),
         -1,
         {kT41 + " begin data_len=5"}},
        {"one module's states",
         &D::parse41_43_capture,
         "FF01 010001 01 07",
         7,
         {kT43 + " begin data_len=7", kT43 + " header flag=255 channel_count=1 used=2",
          kT43 + " channel data_len=7 used=6 channel_count=1 channel_index=0",
          kT43 + " shutdown=1 i_limit=0 charge=1 p41_43_count=1",
          kT43 + " channel.out_i=0 p41_41_count=0 p41_41=0 0 0 0 0 0 0 shutdown=1 i_limit=0 "
                 "charge=1 p41_43_count=1 p41_43=7 0 0 0 0 0 fault=0 p41_44_count=0 p41_44=0 0 0 "
                 "0 0 0 0 0 ",
          kT43 + " complete used=7 remaining=0"}},
        {"no module alarms, one byte more",
         &D::parse41_44_capture,
         "FF0099",
         2,
         {kT44 + " begin data_len=3", kT44 + " header flag=255 channel_count=0 used=2",
          kT44 + " complete used=2 remaining=1"}},
        {"second module cut inside its head: no line of its own",
         &D::parse41_44_capture,
         "FF02 03 01 04 09",
         -1,
         {kT44 + " begin data_len=6", kT44 + " header flag=255 channel_count=2 used=2",
          kT44 + " channel data_len=6 used=4 channel_count=2 channel_index=0",
          kT44 + " fault=3 p41_44_count=1",
          kT44 + " channel.out_i=0 p41_41_count=0 p41_41=0 0 0 0 0 0 0 shutdown=0 i_limit=0 "
                 "charge=0 p41_43_count=0 p41_43=0 0 0 0 0 0 fault=3 p41_44_count=1 p41_44=4 0 0 "
                 "0 0 0 0 0 "}},
    };
}

TEST(CaptureRectifier, LogLines) {
    for (const LogCase& c : log_cases()) {
        SCOPED_TRACE(c.name);
        testsupport::DriverHarness<testsupport::ProbeDriver> h;
        h.drv->start_round();
        const Bytes info = testsupport::hex(c.info);
        testing::internal::CaptureStdout();
        const int r = ((*h.drv).*c.decode)(info.data(), static_cast<int>(info.size()));
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(testsupport::split_lines(out), c.lines);
    }
}

}  // namespace
