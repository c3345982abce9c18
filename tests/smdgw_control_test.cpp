// Control requests through smdgw: --control and --control-hex reach the
// driver after the input, and the command frames it sends appear as events
// and, with --trace-host, as write_pmbus_cmd calls.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/smdgw_run.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::run_smdgw;

std::vector<std::string> pick(const std::vector<Json::Value>& lines, const char* field,
                              const char* name, std::string (*show)(const Json::Value&)) {
    std::vector<std::string> out;
    for (const Json::Value& l : lines)
        if (l[field].asString() == name) out.push_back(show(l));
    return out;
}

std::string show_command(const Json::Value& c) {
    char head[16];
    std::snprintf(head, sizeof head, "%02X/%02X ", c["cid1"].asUInt(), c["cid2"].asUInt());
    return head + c["info"].asString() + " " + c["frame"].asString();
}

std::string show_control(const Json::Value& c) {
    return std::to_string(c["code"].asInt()) + " -> " + std::to_string(c["result"].asInt()) +
           " out " + (c["output"].isNull() ? "none" : std::to_string(c["output"].asInt()));
}

TEST(SmdgwControl, CommandsGoOutAsEventsAndTraceLines) {
    testsupport::TempDir dir;
    const std::string config =
        dir.write_s("gw.json", R"({"devices": [{"name": "plant", "data_id": 418, "address": 1}]})");
    const auto run = run_smdgw({"--config",
                                config,
                                "--replay",
                                dir.write_s("empty.cap", ""),
                                "--log",
                                (dir.path() / "log").string(),
                                "--trace-host",
                                "--control",
                                "320",
                                "419500201003",
                                "--control",
                                "310",
                                R"({"signal_id":"4196A3101001","SetValue":"53.5"})",
                                "--control-hex",
                                "300",
                                "01020304050607",
                                "--control",
                                "320",
                                "41950020",
                                "--control",
                                "1",
                                "x"});
    ASSERT_EQ(0, run.status) << run.err;
    const auto lines = testsupport::json_lines(run.out);

    const std::vector<std::string> frames = {
        "41/45 E503 ~21014145C004E503FCBA",
        "42/48 DC00005642 ~21014248600ADC00005642FB7B",
        "41/4E 01020304050607 ~2101414E200E01020304050607FACB",
    };
    EXPECT_EQ(frames, pick(lines, "event", "command", show_command));
    EXPECT_EQ(frames, pick(lines, "call", "write_pmbus_cmd", show_command));
    EXPECT_EQ((std::vector<std::string>{"320 -> 0 out none", "310 -> 0 out none", "300 -> 0 out 1",
                                        "320 -> 0 out none", "1 -> 0 out -1"}),
              pick(lines, "event", "control", show_control));
}

TEST(SmdgwControl, TextsReachTheDriverByteForByte) {
    // Brackets and commas, a leading "-", a file with an editor's line end:
    // CLI11 alone would split the first and take the second for an option.
    testsupport::TempDir dir;
    const std::string config =
        dir.write_s("gw.json", R"({"devices": [{"name": "plant", "data_id": 418, "address": 1}]})");
    const std::string set_point = R"({"signal_id":"4196A3201001","SetValue":"48","note":[1,2]})";
    const auto run =
        run_smdgw({"--config", config, "--replay", dir.write_s("empty.cap", ""), "--control", "310",
                   set_point, "--get", "out_v", "--control", "300", "-abcdef", "--control-file",
                   "310", dir.write_s("set.json", set_point + "\n"), "--control=320", "419500200"});
    ASSERT_EQ(0, run.status) << run.err;
    const auto lines = testsupport::json_lines(run.out);
    std::vector<std::string> order;
    for (const Json::Value& l : lines)
        if (l["event"] == "command" || l["event"] == "value")
            order.push_back(l["event"] == "value" ? "value " + l["key"].asString()
                                                  : show_command(l));
    EXPECT_EQ(order, (std::vector<std::string>{
                         "42/48 DB00004042 ~21014248600ADB00004042FB83",
                         "value out_v",
                         "41/4E 2D616263646566 ~2101414E200E2D616263646566FA98",
                         "42/48 DB00004042 ~21014248600ADB00004042FB83",
                         "41/45 E600 ~21014145C004E600FCBC",
                     }));

    const auto missing = run_smdgw({"--config", config, "--replay", dir.write_s("e.cap", ""),
                                    "--control-file", "310", (dir.path() / "nope").string()});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("--control-file " + (dir.path() / "nope").string() +
                               ": No such file or directory"),
              std::string::npos)
        << missing.err;
}

}  // namespace
