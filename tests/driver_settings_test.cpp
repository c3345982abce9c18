// Driver options from "appSetting": text read like atoi, bytes cut to 8 bits,
// absent keys left alone, wrong shapes ignored or refused.

#include <gtest/gtest.h>
#include <json/json.h>

#include <string>

#include "tests/support/driver_fixture.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::basic_entry;
using testsupport::DriverHarness;
using Driver = Veltra_Quelm_K418T_419;

int option_value(const Driver& d, const std::string& key) {
    if (key == "has_ac") return d.has_ac;
    if (key == "has_dc") return d.has_dc;
    if (key == "no_dc_number") return d.no_dc_number;
    if (key == "ac_line") return d.ac_line;
    if (key == "ac_type") return d.ac_type;
    if (key == "has_a") return d.has_a;
    if (key == "has_b") return d.has_b;
    if (key == "has_c") return d.has_c;
    if (key == "dc_i_adjust") return d.dc_i_adjust;
    if (key == "skip_41_41") return d.skip_41_41;
    if (key == "has_tower") return d.has_tower;
    if (key == "no_42_arg") return d.no_42_arg;
    if (key == "no_40_arg") return d.no_40_arg;
    if (key == "open_41_43") return d.open_41_43;
    if (key == "cg") return d.cg;
    ADD_FAILURE() << "unknown option " << key;
    return 0;
}

// Each test runs where no threshold file can be found.
class DriverSettings : public ::testing::Test {
   protected:
    testsupport::TempDir dir_;
    testsupport::ScopedCwd cwd_{dir_.path()};
};

TEST_F(DriverSettings, DefaultsWithoutAppSetting) {
    DriverHarness<> h;
    const struct {
        const char* key;
        int value;
    } defaults[] = {
        {"has_ac", 1},     {"has_dc", 1},     {"no_dc_number", -1},
        {"ac_line", 1},    {"ac_type", 0},    {"has_a", 1},
        {"has_b", 1},      {"has_c", 1},      {"dc_i_adjust", 1},
        {"skip_41_41", 0}, {"has_tower", 0},  {"no_42_arg", 0},
        {"no_40_arg", 0},  {"open_41_43", 0}, {"cg", 1},
    };
    for (const auto& d : defaults) EXPECT_EQ(d.value, option_value(*h.drv, d.key)) << d.key;
    EXPECT_EQ(1, h.drv->b_mode_);
    const uint32_t id = h.drv->cData.data_id;
    EXPECT_EQ(418u, id);
}

struct OptionCase {
    const char* key;
    Json::Value given;
    int expected;
};

TEST_F(DriverSettings, ValuesReadLikeAtoi) {
    const OptionCase cases[] = {
        {"has_ac", "0", 0},       {"has_ac", "2", 1},       {"has_ac", "-1", 1},
        {"has_ac", "on", 0},      {"has_dc", "0", 0},       {"has_a", " 3x", 1},
        {"has_tower", true, 1},   {"has_b", false, 0},      {"cg", "255", 255},
        {"cg", "511", 255},       {"cg", "256", 0},         {"cg", 7, 7},
        {"no_dc_number", "0", 0}, {"no_dc_number", "2", 2}, {"no_dc_number", "-1", -1},
        {"ac_line", 2.7, 2},      {"ac_type", "1", 1},      {"dc_i_adjust", "-10", -10},
        {"skip_41_41", "+4", 4},  {"no_42_arg", "1", 1},    {"no_40_arg", "abc", 0},
        {"open_41_43", "1", 1},   {"has_c", "", 0},
    };
    for (const OptionCase& c : cases) {
        Json::Value entry = basic_entry();
        entry["appSetting"][c.key] = c.given;
        DriverHarness<> h(entry);
        EXPECT_EQ(c.expected, option_value(*h.drv, c.key))
            << c.key << " = " << c.given.toStyledString();
    }
}

TEST_F(DriverSettings, AbsentKeysKeepEarlierValues) {
    Json::Value first = basic_entry();
    first["appSetting"]["cg"] = "255";
    first["appSetting"]["has_ac"] = "0";
    DriverHarness<> h(first);
    Json::Value second = basic_entry();
    second["appSetting"]["ac_type"] = "1";
    EXPECT_EQ(1, h.drv->InitSetting(second));
    EXPECT_EQ(255, h.drv->cg);
    EXPECT_FALSE(h.drv->has_ac);
    EXPECT_EQ(1, h.drv->ac_type);
}

TEST_F(DriverSettings, NonObjectAppSettingIsIgnoredButInitialisationGoesOn) {
    const Json::Value shapes[] = {Json::Value(Json::arrayValue), Json::Value("has_ac=0"),
                                  Json::Value(5)};
    for (const Json::Value& shape : shapes) {
        Json::Value entry = basic_entry();
        entry["appSetting"] = shape;
        entry["address"] = 9;
        DriverHarness<> h(entry, false);
        h.drv->cData.data_id = 0;
        testing::internal::CaptureStdout();
        EXPECT_EQ(1, h.drv->InitSetting(entry));
        const std::string log = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(h.drv->has_ac);
        EXPECT_EQ(1, h.drv->cg);
        const uint32_t id = h.drv->cData.data_id;
        EXPECT_EQ(418u, id);
        EXPECT_EQ(1, h.drv->b_mode_);
        // The threshold search ran and the host protocol read its address.
        EXPECT_NE(std::string::npos, log.find("parse ini/yaml filename:\n"));
        EXPECT_EQ(9, h.drv->Address());
    }
}

TEST_F(DriverSettings, ArrayValueStopsInitialisation) {
    Json::Value entry = basic_entry();
    entry["appSetting"]["has_ac"] = "0";
    entry["appSetting"]["ac_line"].append(2);
    entry["appSetting"]["cg"] = "3";
    entry["address"] = 9;
    DriverHarness<> h(entry, false);
    EXPECT_THROW(h.drv->InitSetting(entry), Json::LogicError);
    EXPECT_FALSE(h.drv->has_ac);  // read before the failing key
    EXPECT_EQ(1, h.drv->cg);      // after it
    EXPECT_EQ(1, h.drv->Address());
}

}  // namespace
