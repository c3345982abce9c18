// Control requests through smdgw: --control and --control-hex reach the
// driver after the input, and the command frames it sends appear as events
// and, with --trace-host, as write_pmbus_cmd calls.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/smdgw_run.h"

namespace {

using testsupport::run_smdgw;
using testsupport::write_temp_file;

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
    const std::string config =
        write_temp_file("smdgw_control_config.json",
                        R"({"devices": [{"name": "plant", "data_id": 418, "address": 1}]})");
    const std::string capture = write_temp_file("smdgw_control_empty.cap", "");
    int status = 0;
    const auto lines =
        run_smdgw("--config " + config + " --replay " + capture +
                      " --trace-host --control 320 419500201003"
                      R"( --control 310 '{"signal_id":"4196A3101001","SetValue":"53.5"}')"
                      " --control-hex 300 01020304050607 --control 320 41950020 --control 1 x",
                  status);
    ASSERT_EQ(0, status);

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

}  // namespace
