// powersim as users run it: bad faults and options are refused with a message
// naming them, and a capture it writes is what smdgw replays.

#include <gtest/gtest.h>

#include <string>

#include "tests/support/run_process.h"
#include "tests/support/smdgw_run.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::run_process;

struct BadArgs {
    std::vector<std::string> args;
    const char* message;  // part of the message on stderr; empty: CLI11's own
};

TEST(PowersimCli, RefusesBadFaultsAndOptionsWithStatus2) {
    testsupport::TempDir dir;
    const std::string out = (dir.path() / "x.cap").string();
    const BadArgs cases[] = {
        {{"--fault", "meltdown:1@2"}, "unknown fault \"meltdown\""},
        {{"--fault", "fan:3"}, "has no @ROUNDS"},
        {{"--fault", "fan@2"}, "needs 1 number(s) after fan"},
        {{"--fault", "fuse:3:1@2"}, "there are two inputs/panels"},
        {{"--fault", "fan:0@2"}, "is not a positive number"},
        {{"--fault", "fan:1@5-3"}, "last round before first"},
        {{"--fault", "dc-low:abc@2"}, "is not a number"},
        {{"--silence", "30"}, "is not SECONDS@ROUND"},
        {{"--respond", "--no-panel-count"}, "carries one DC panel; give --panels 1"},
        {{"--echo"}, ""},
        {{"--towers"}, ""},
        {{"--modules", "41"}, ""},
        {{"--frobnicate"}, ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {POWERSIM_PATH, "--out", out};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = run_process(argv);
        EXPECT_EQ(r.status, 2) << c.args[0];
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    const auto r = run_process({POWERSIM_PATH, "--rounds", "1"});
    EXPECT_EQ(r.status, 2) << "no output given";
}

TEST(PowersimCli, CaptureReplaysIntoOneRecordPerRound) {
    testsupport::TempDir dir;
    const std::string cap = (dir.path() / "plant.cap").string();
    ASSERT_EQ(run_process({POWERSIM_PATH, "--out", cap, "--rounds", "4", "--modules", "40",
                           "--panels", "1"})
                  .status,
              0);
    const auto run = testsupport::run_smdgw(
        {"--config", dir.write_s("gw.json", R"({"devices":[{"name":"p","data_id":1}]})"),
         "--replay", cap, "--log", (dir.path() / "log").string()});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto records = testsupport::events(testsupport::json_lines(run.out), "record");
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0]["record"]["channel_count"].asInt(), 40);
    EXPECT_EQ(records[0]["record"]["dc2"]["v"].asFloat(), 0.0f) << "one DC panel only";
}

}  // namespace
