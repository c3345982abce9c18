// Threshold configuration: mode selection, the file search, INI tables,
// mode 3 descriptors and mode 5 limit tables, and what bad input does.

#include <gtest/gtest.h>
#include <json/json.h>
#include <unistd.h>

#include <boost/property_tree/exceptions.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <filesystem>
#include <sstream>
#include <string>
#include <tuple>

#include "datadevice/threshold_ini.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/threshold_config.h"

namespace {

using testsupport::add_limit_set;
using testsupport::basic_entry;
using testsupport::DriverHarness;
using testsupport::limit_setting;

const char* const kModel = "veltra_quelm_k418t_419";

class ThresholdFiles : public ::testing::Test {
   protected:
    // Initialises a capture driver (data ID 418) with entry, logging to log_.
    std::unique_ptr<DriverHarness<>> init(const Json::Value& entry = basic_entry()) {
        testing::internal::CaptureStdout();
        auto h = std::make_unique<DriverHarness<>>(entry);
        log_ = testing::internal::GetCapturedStdout();
        return h;
    }
    testsupport::TempDir dir_;
    testsupport::ScopedCwd cwd_{dir_.path()};
    std::string log_;
};

Json::Value mode_entry(const Json::Value& b_mode) {
    Json::Value e = basic_entry();
    e["appSetting"]["b_mode"] = b_mode;
    return e;
}

TEST_F(ThresholdFiles, ModeSelection) {
    const struct {
        Json::Value b_mode;
        int expected;
    } cases[] = {{5, 5}, {"5", 5}, {"3", 3}, {"x5", 0}, {Json::Value(), 1}};
    for (const auto& c : cases) {
        auto h = init(mode_entry(c.b_mode));
        EXPECT_EQ(c.expected, h->drv->b_mode_);
        if (c.b_mode.isNull()) {
            EXPECT_EQ(std::string::npos, log_.find("b_mode_:"));
        } else {
            EXPECT_NE(std::string::npos,
                      log_.find("InitSetting 418 b_mode_:" + std::to_string(c.expected) + "\n"));
        }
    }
}

TEST_F(ThresholdFiles, NoFileFound) {
    auto h = init();
    EXPECT_EQ(
        "data_id:418 model:veltra_quelm_k418t_419 b ini not found\n"
        "parse ini/yaml filename:\n",
        log_);
    EXPECT_TRUE(h->drv->ai_map_.empty());
}

// Which of the present files the search selects.
TEST_F(ThresholdFiles, SearchOrder) {
    const std::string m = kModel;
    const struct {
        std::vector<std::string> present;
        std::string selected;
    } cases[] = {
        {{"ini/418.ini", "ini/418.yaml"}, "./ini/418.yaml"},
        {{"ini/418.ini", "ini/" + m + ".yaml"}, "./ini/418.ini"},
        {{"ini/" + m + ".ini", "ini/veltra/418.ini"}, "./ini/" + m + ".ini"},
        {{"ini/" + m + ".yaml", "ini/" + m + ".ini"}, "./ini/" + m + ".yaml"},
        {{"ini/veltra/418.ini", "ini/veltra/" + m + ".yaml"}, "./ini/veltra/418.ini"},
        {{"ini/veltra/" + m + ".ini", "ini/veltra/418.yaml"}, "./ini/veltra/418.yaml"},
        {{"ini/veltra/" + m + ".ini", "ini/veltra/" + m + ".yaml"}, "./ini/veltra/" + m + ".yaml"},
        {{"ini/veltra/" + m + ".ini", "ini/419.ini"}, "./ini/veltra/" + m + ".ini"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(dir_.path() / "ini");
        for (const auto& f : c.present) dir_.write(f, "[AI]\nk=419401001001,name\n");
        auto h = init();
        EXPECT_NE(std::string::npos, log_.find("parse ini/yaml filename:" + c.selected + "\n"))
            << log_;
        EXPECT_EQ(std::string::npos, log_.find("b ini not found"));
        // A YAML file is selected but loads nothing.
        const bool yaml =
            c.selected.size() > 5 && c.selected.substr(c.selected.size() - 5) == ".yaml";
        EXPECT_EQ(yaml ? 0u : 1u, h->drv->ai_map_.size()) << c.selected;
    }
}

TEST_F(ThresholdFiles, IniTablesAndLog) {
    dir_.write("ini/418.ini",
               "[AI]\n"
               "dc.v = 419401001001,DC voltage\n"
               "ac.ia=419402001001\n"
               "out_v=419403001001,\n"
               "dc.i=419404001001,load, total\n"
               "[OTHER]\n"
               "x=1\n"
               "[ALARM]\n"
               "a1=fuse,rest\n"
               "a2=plain\n");
    auto h = init();
    using Pair = std::pair<std::string, std::string>;
    const std::map<std::string, Pair> ai = {
        {"ac.ia", {"419402001001", "419402001001"}},
        {"dc.i", {"419404001001", "load, total"}},
        {"dc.v", {"419401001001", "DC voltage"}},
        {"out_v", {"419403001001", ""}},
    };
    EXPECT_EQ(ai, h->drv->ai_map_);
    const std::map<std::string, std::string> alarm = {{"a1", "fuse"}, {"a2", "plain"}};
    EXPECT_EQ(alarm, h->drv->alarm_map_);
    EXPECT_EQ(
        "parse ini/yaml filename:./ini/418.ini\n"
        "AI 418\n"
        "first:ac.ia second:419402001001 name:419402001001\n"
        "first:dc.i second:419404001001 name:load, total\n"
        "first:dc.v second:419401001001 name:DC voltage\n"
        "first:out_v second:419403001001 name:\n",
        log_);
}

TEST_F(ThresholdFiles, SecondLoadKeepsKeysTheFileLacks) {
    dir_.write("ini/418.ini", "[AI]\na=419401001001,A\nb=419402001001,B\n");
    auto h = init();
    dir_.write("ini/418.ini", "[AI]\nb=419409001001,B2\n");
    h->drv->InitSetting(basic_entry());
    EXPECT_EQ("419401001001", h->drv->ai_map_["a"].first);
    EXPECT_EQ("419409001001", h->drv->ai_map_["b"].first);
}

TEST_F(ThresholdFiles, MissingAiSectionThrowsAndTouchesNothing) {
    dir_.write("ini/418.ini", "[ALARM]\na1=x\n");
    Json::Value entry = basic_entry();
    entry["address"] = 9;
    DriverHarness<> h(entry, false);
    testing::internal::CaptureStdout();
    try {
        h.drv->InitSetting(entry);
        ADD_FAILURE() << "no exception";
    } catch (const boost::property_tree::ptree_bad_path& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find("No such node (AI)"));
    }
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(h.drv->alarm_map_.empty());
    EXPECT_EQ(1, h.drv->Address());  // the host protocol was not initialised
}

TEST_F(ThresholdFiles, UnreadableOrMalformedFileThrows) {
    const std::string malformed[] = {"[AI]\nno equals sign\n", "[AI]\na=1\na=2\n"};
    for (const auto& text : malformed) {
        dir_.write("ini/418.ini", text);
        DriverHarness<> h(basic_entry(), false);
        testing::internal::CaptureStdout();
        EXPECT_THROW(h.drv->InitSetting(basic_entry()), boost::property_tree::ini_parser_error);
        testing::internal::GetCapturedStdout();
        EXPECT_TRUE(h.drv->ai_map_.empty());
    }
    // A directory under the file's name exists but holds no INI text.
    std::filesystem::remove(dir_.path() / "ini/418.ini");
    std::filesystem::create_directories(dir_.path() / "ini/418.ini");
    DriverHarness<> h(basic_entry(), false);
    testing::internal::CaptureStdout();
    EXPECT_THROW(h.drv->InitSetting(basic_entry()), boost::property_tree::ptree_error);
    testing::internal::GetCapturedStdout();
    if (::geteuid() != 0) {  // root reads any file
        std::filesystem::remove(dir_.path() / "ini/418.ini");
        const auto p = dir_.write("ini/418.ini", "[AI]\na=1\n");
        std::filesystem::permissions(p, std::filesystem::perms::none);
        testing::internal::CaptureStdout();
        try {
            h.drv->InitSetting(basic_entry());
            ADD_FAILURE() << "no exception";
        } catch (const boost::property_tree::ini_parser_error& e) {
            EXPECT_NE(std::string::npos, std::string(e.what()).find("cannot open file"));
        }
        testing::internal::GetCapturedStdout();
    }
}

TEST(ThresholdIniSplit, FirstCommaSplits) {
    const struct {
        const char* value;
        const char* first;
        const char* second;
    } cases[] = {
        {"419401001001,DC voltage", "419401001001", "DC voltage"},
        {"419401001001", "419401001001", "419401001001"},
        {"419401001001,", "419401001001", ""},
        {",name", "", "name"},
        {"a,b,c", "a", "b,c"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        const auto p = veltra::split_ini_value(c.value);
        EXPECT_EQ(c.first, p.first) << c.value;
        EXPECT_EQ(c.second, p.second) << c.value;
    }
}

TEST(ThresholdIniParse, TrimsAroundKeysAndValues) {
    std::istringstream in("; comment\n[AI]\n  k  =  id , name  \n");
    const veltra::ThresholdIni ini = veltra::parse_threshold_ini(in);
    ASSERT_EQ(1u, ini.ai.size());
    EXPECT_EQ("k", ini.ai[0].first);
    EXPECT_EQ("id ", ini.ai[0].second.first);
    EXPECT_EQ(" name", ini.ai[0].second.second);
    EXPECT_TRUE(ini.alarm.empty());
}

// ---- mode 5 ----------------------------------------------------------------------------------

Json::Value mode5_entry(const Json::Value& settings) {
    Json::Value e = mode_entry(5);
    e["thresholdSetting"] = settings;
    return e;
}

TEST_F(ThresholdFiles, Mode5UpperSetOnly) {
    Json::Value ts;
    ts["x"] = limit_setting("419401", "dc.v", "Up", 56.5, "55", 2);
    auto h = init(mode5_entry(ts));
    ASSERT_EQ(1u, h->drv->up_map_.size());
    EXPECT_EQ(ThresholdEntry("419401001", 56.5f, 55.0f, false, 2), h->drv->up_map_["dc.v"]);
    EXPECT_TRUE(h->drv->up2_map_.empty());
    EXPECT_TRUE(h->drv->low_map_.empty());
    EXPECT_TRUE(h->drv->low2_map_.empty());
}

TEST_F(ThresholdFiles, Mode5AllSetsAndConversions) {
    Json::Value ts;
    Json::Value& e = ts["x"];
    e["ID"] = "4194";
    e["SignalName"] = "dc.v";
    const char* keys[][3] = {{"UpValue", "UpReconverValue", "UpAlarmLevel"},
                             {"Up2Value", "Up2ReconverValue", "Up2AlarmLevel"},
                             {"LowValue", "LowReconverValue", "LowAlarmLevel"},
                             {"Low2Value", "Low2ReconverValue", "Low2AlarmLevel"}};
    for (auto& k : keys) {
        e[k[0]] = "57.5V";
        e[k[1]] = "abc";
        e[k[2]] = 2.7;
    }
    e["LowAlarmLevel"] = "";  // an incomplete set loads nothing
    auto h = init(mode5_entry(ts));
    EXPECT_EQ(ThresholdEntry("4194001", 57.5f, 0.0f, false, 2), h->drv->up_map_["dc.v"]);
    EXPECT_EQ(ThresholdEntry("4194002", 57.5f, 0.0f, false, 2), h->drv->up2_map_["dc.v"]);
    EXPECT_TRUE(h->drv->low_map_.empty());
    EXPECT_EQ(ThresholdEntry("4194004", 57.5f, 0.0f, false, 2), h->drv->low2_map_["dc.v"]);
}

TEST_F(ThresholdFiles, Mode5LastMemberNameWinsPerSet) {
    Json::Value ts;
    for (const char* name : {"b", "a"})
        ts[name] = limit_setting(std::string("id_") + name, "dc.v", "Up", 1, 1, 1);
    add_limit_set(ts["a"], "Low", 1, 1, 1);
    auto h = init(mode5_entry(ts));
    EXPECT_EQ("id_b001", std::get<0>(h->drv->up_map_["dc.v"]));
    EXPECT_EQ("id_a003", std::get<0>(h->drv->low_map_["dc.v"]));
}

TEST_F(ThresholdFiles, Mode5SkipsUnusableEntriesAndShapes) {
    Json::Value ts;
    ts["no_id"] = limit_setting("", "s1", "Up", 1, 1, 1);
    ts["no_id"].removeMember("ID");
    ts["empty_id"] = limit_setting("", "s2", "Up", 1, 1, 1);
    ts["no_name"] = limit_setting("1", "", "Up", 1, 1, 1);
    ts["no_name"].removeMember("SignalName");
    ts["empty_name"] = limit_setting("1", "", "Up", 1, 1, 1);
    ts["text"] = "not an object";
    const Json::Value shapes[] = {ts, Json::Value(Json::arrayValue), Json::Value("x"),
                                  Json::Value()};
    for (const auto& shape : shapes) {
        auto h = init(mode5_entry(shape));
        EXPECT_TRUE(h->drv->up_map_.empty());
        EXPECT_EQ("", log_.substr(log_.find('\n') + 1));  // only the mode line
    }
}

TEST_F(ThresholdFiles, Mode5ReloadKeepsOnlySecondConfiguration) {
    Json::Value ts;
    ts["x"] = limit_setting("1", "dc.v", "Up", 1, 1, 1);
    auto h = init(mode5_entry(ts));
    std::get<3>(h->drv->up_map_["dc.v"]) = true;
    ts["x"]["SignalName"] = "dc.i";
    h->drv->InitSetting(mode5_entry(ts));
    ASSERT_EQ(1u, h->drv->up_map_.size());
    EXPECT_FALSE(std::get<3>(h->drv->up_map_["dc.i"]));
}

TEST_F(ThresholdFiles, Mode5ArrayWhereTextBelongsThrows) {
    Json::Value ts;
    ts["a"] = limit_setting("1", "ok", "Up", 1, 1, 1);
    ts["b"]["ID"].append(1);
    ts["b"]["SignalName"] = "bad";
    Json::Value entry = mode5_entry(ts);
    entry["address"] = 9;
    DriverHarness<> h(entry, false);
    testing::internal::CaptureStdout();
    EXPECT_THROW(h.drv->InitSetting(entry), Json::LogicError);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(1u, h.drv->up_map_.count("ok"));  // made before the failure
    EXPECT_EQ(1, h.drv->Address());
}

// ---- mode 3 ----------------------------------------------------------------------------------

TEST_F(ThresholdFiles, Mode3Descriptors) {
    Json::Value e = mode_entry(3);
    e["alarm_levels"]["m1"] = 2;
    e["alarm_thresholds"]["m1"] = 1.5;
    e["thresholdSetting"]["m1"]["NMAlarmID"] = "N1";
    e["thresholdSetting"]["m1"]["ID"] = 419;
    e["thresholdSetting"]["m1"]["SignalNumber"] = "3";
    e["thresholdSetting"]["m1"]["SignalName"] = "dc.v";
    e["thresholdSetting"]["m2"]["ID"] = "X";
    e["thresholdSetting"]["m0"] = 5;
    auto h = init(e);
    EXPECT_EQ(
        "InitSetting 418 b_mode_:3\n"
        "here 1\n"
        "here 2\n"
        "here m0\n"
        "here m1\n"
        "mobile:m1:N1;419;3; level:2 value:1.5\n"
        "here m2\n"
        "418 NMAlarmID is missing\n"
        "418 SignalNumber is missing\n"
        "mobile:m2:;X;; level:0 value:0\n",
        log_);
    const std::map<std::string, std::string> mobile = {{"m1", "N1;419;3;"}, {"m2", ";X;;"}};
    EXPECT_EQ(mobile, h->drv->mobile_map_);
    const std::map<std::string, std::string> names = {{"m1", "dc.v"}};
    EXPECT_EQ(names, h->drv->signal_name_map_);
    EXPECT_EQ(1u, h->drv->AlarmLevels().count("m2"));  // entered with 0
}

TEST_F(ThresholdFiles, Mode3WithoutSettings) {
    auto h = init(mode_entry(3));
    EXPECT_EQ("InitSetting 418 b_mode_:3\nhere 1\n", log_);
}

}  // namespace
