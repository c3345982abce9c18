// smdgw as users run it: configuration errors, help, and JSON lines out.

#include <gtest/gtest.h>
#include <json/reader.h>

#include <string>
#include <vector>

#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"
#include "tools/smdgw/core/config.h"

namespace {

using testsupport::run_process;
using testsupport::TempDir;

const char* const kGoodConfig = R"({"devices":[{"name":"plant1","data_id":418,"address":1}]})";

struct BadConfig {
    const char* text;
    const char* expect;  // part of the message
};

TEST(SmdgwConfig, RefusesUnusableConfigurations) {
    const BadConfig cases[] = {
        {"{not json", "not valid JSON"},
        {"[]", "must be a JSON object"},
        {R"({"devices":{}})", "\"devices\" must be a non-empty array"},
        {R"({"devices":[]})", "\"devices\" must be a non-empty array"},
        {R"({"devices":[{"data_id":1}]})", "\"name\" must be a non-empty text"},
        {R"({"devices":[{"name":"a","data_id":"x"}]})", "\"data_id\" must be an unsigned"},
        {R"({"devices":[{"name":"a","data_id":1,"reports":{"r":{"change_enabled":1}}}]})",
         "must be true or false"},
        {R"({"devices":[3,{"name":"b","port":7,"data_id":1}]})", "device #1 must be an object"},
        {R"({"devices":[{"name":"a","data_id":1,"address":300}]})", "\"address\""},
        {R"({"devices":[{"name":"a","data_id":1,"alarm_levels":{"x":"3"}}]})",
         "\"alarm_levels\"/\"x\" must be a number"},
        {R"({"devices":[{"name":"a","data_id":1,"limits":{"x":{"upper":"hi"}}}]})",
         "\"upper\" must be a number"},
    };
    for (const auto& c : cases) {
        try {
            smdgw::parse_config(c.text, "cfg.json");
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const smdgw::ConfigError& e) {
            const std::string msg = e.what();
            EXPECT_EQ(msg.rfind("cfg.json: ", 0), 0u) << msg;
            EXPECT_NE(msg.find(c.expect), std::string::npos) << msg;
        }
    }
    EXPECT_EQ(smdgw::parse_config(kGoodConfig, "x").devices.size(), 1u);
}

TEST(SmdgwConfig, NamesEveryBrokenDeviceAndRefusesTheFile) {
    const char* text = R"({"devices":[
        {"name":"a","data_id":1},
        {"name":"b","data_id":2,"limits":[1,2]},
        {"name":"a","data_id":3},
        {"data_id":4},
        {"name":"c","data_id":5,"address":7}]})";
    try {
        smdgw::parse_config(text, "cfg.json");
        ADD_FAILURE() << "accepted";
    } catch (const smdgw::ConfigError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "cfg.json: device \"b\": \"limits\" must be an object (is [1,2])\n"
                  "cfg.json: device \"a\": is configured twice (\"name\" must be unique)\n"
                  "cfg.json: device #4: \"name\" must be a non-empty text");
    }
    EXPECT_TRUE(smdgw::parse_config(kGoodConfig, "x").warnings.empty());
}

TEST(SmdgwCli, BrokenDeviceIsAConfigurationErrorNamingTheKey) {
    TempDir dir;
    const std::string cfg =
        dir.write_s("gw.json", R"({"devices":[{"name":"bad","data_id":9,"alarm_levels":{"x":"3"}},)"
                               R"({"name":"plant1","data_id":418,"address":1}]})");
    const std::string cap = dir.write_s("empty.cap", "");
    const auto r = run_process({SMDGW_PATH, "--config", cfg, "--replay", cap});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("device \"bad\": \"alarm_levels\"/\"x\" must be a number (is \"3\")"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
}

TEST(SmdgwCli, UsageErrorsExitWithStatus2) {
    TempDir dir;
    const std::string cfg = dir.write_s("gw.json", kGoodConfig);
    EXPECT_EQ(run_process({SMDGW_PATH, "--config", cfg}).status, 2) << "no input given";
    EXPECT_EQ(run_process({SMDGW_PATH, "--config", cfg, "--replay", "a", "--port", "b"}).status, 2);
    EXPECT_EQ(run_process({SMDGW_PATH, "--bogus"}).status, 2);
    auto r =
        run_process({SMDGW_PATH, "--config", cfg, "--replay", cfg, "--control-hex", "1", "XY"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("not hex bytes"), std::string::npos);
    r = run_process(
        {SMDGW_PATH, "--config", cfg, "--replay", cfg, "--clock-start", "2026-02-30T00:00:00"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--clock-start \"2026-02-30T00:00:00\" is not a time"), std::string::npos)
        << r.err;
}

TEST(SmdgwCli, OptionsThatWouldBeDroppedSilentlyAreRefused) {
    TempDir dir;
    const std::string cfg = dir.write_s("gw.json", kGoodConfig);
    const std::string cap = dir.write_s("empty.cap", "");
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"--count", "0"}, "--count \"0\" is not a number of rounds from 1"},
        {{"--count", "-1"}, "--count \"-1\" is not a number of rounds"},
        {{"--count", "99999999999999999999"}, "is not a number of rounds"},
        {{"--control", "320"}, "--control CODE TEXT needs both its values (\"320\" has no partner)"},
        {{"--control-hex", "300", "--get", "out_v"}, "--control-hex CODE HEX needs both"},
        {{"--record", (dir.path() / "r.cap").string()}, "a --replay has nothing to record"},
        {{"--log-max-size", "12X"}, "--log-max-size \"12X\" is not a size"},
        {{"--log-max-size", "17179869184G"}, "--log-max-size \"17179869184G\" is too large"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {SMDGW_PATH, "--config", cfg, "--replay", cap};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = run_process(argv);
        EXPECT_EQ(r.status, 2) << c.args[0];
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    EXPECT_EQ(run_process({SMDGW_PATH, "--config", cfg, "--replay", cap, "--count", "1"}).status,
              0);

    const auto v = run_process({SMDGW_PATH, "--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out.rfind("smdgw 0.", 0), 0u) << v.out;
    EXPECT_NE(v.out.find(" (source "), std::string::npos) << v.out;
    EXPECT_NE(v.out.find(std::string("plug-in ") + PLUGIN_PATH + " 0."), std::string::npos)
        << "the plug-in's own version entry answers\n"
        << v.out;

    const auto h = run_process({SMDGW_PATH, "history", "--help"});
    EXPECT_EQ(h.status, 0);
    EXPECT_NE(h.out.find("--format csv|json           Output format: csv (default) or json"),
              std::string::npos)
        << h.out;
    EXPECT_EQ(h.out.find("->"), std::string::npos) << h.out;
}

TEST(SmdgwCli, HelpExplainsWithExamples) {
    auto r = run_process({SMDGW_PATH, "--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* word : {"--config", "--replay", "--port", "--trace-host", "--get", "--reset",
                             "--control", "--control-hex", "--log", "Examples:"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
}

TEST(SmdgwCli, MissingCaptureIsAnErrorNamingIt) {
    TempDir dir;
    const std::string cfg = dir.write_s("gw.json", kGoodConfig);
    auto r =
        run_process({SMDGW_PATH, "--config", cfg, "--replay", (dir.path() / "nope.cap").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("nope.cap"), std::string::npos) << r.err;
}

TEST(SmdgwCli, AfterInputActionsPrintJsonLinesInOrder) {
    TempDir dir;
    const std::string cfg = dir.write_s("gw.json", kGoodConfig);
    const std::string cap = dir.write_s("noise.cap", "line noise ~2101 not a frame\r");
    auto r = run_process({SMDGW_PATH, "--config", cfg, "--replay", cap, "--get", "out_v",
                          "--control", "1", "", "--get", "ac"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = r.out_lines();
    // The statistics at the end of the replay, then the actions in order.
    ASSERT_EQ(lines.size(), 4u) << r.out;
    Json::Value stats, v[3];
    Json::Reader reader;
    ASSERT_TRUE(reader.parse(lines[0], stats)) << lines[0];
    EXPECT_EQ(stats["event"].asString(), "stats");
    EXPECT_EQ(stats["frame_errors"]["bad_hex"].asInt(), 1) << lines[0];
    EXPECT_EQ(stats["rounds_published"].asInt(), 0);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(reader.parse(lines[i + 1], v[i])) << lines[i + 1];
    EXPECT_EQ(v[0]["event"].asString(), "value");
    EXPECT_EQ(v[0]["key"].asString(), "out_v");
    EXPECT_EQ(v[0]["error"].asString(), "数据未就绪");
    EXPECT_EQ(v[0]["device"].asString(), "plant1");
    EXPECT_EQ(v[1]["event"].asString(), "control");
    EXPECT_EQ(v[1]["code"].asInt(), 1);
    EXPECT_EQ(v[2]["key"].asString(), "ac");
    // The UTF-8 message travels unescaped.
    EXPECT_NE(lines[1].find("数据未就绪"), std::string::npos);
}

}  // namespace
