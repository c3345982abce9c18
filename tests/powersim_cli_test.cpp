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
        {{"--fault", "fuse:3:1@2"}, "DC panel 3 is beyond the plant's 2 panels (--panels)"},
        {{"--panels", "1", "--fault", "fuse:2:1@2"}, "DC panel 2 is beyond the plant's 1 panels"},
        {{"--fault", "fuse:1:8@2"}, "fuse 8 is beyond the plant's 6 fuses per panel (--fuses)"},
        {{"--fault", "module-fault:13@2"}, "module 13 is beyond the plant's 12 modules"},
        {{"--fault", "module-absent:13@2"}, "module 13 is beyond the plant's 12 modules"},
        {{"--modules", "40", "--fault", "fan:41@2"}, "module 41 is beyond the plant's 40"},
        {{"--fault", "mains-fail:3@1"}, "AC input 3 is beyond the plant's 2 AC inputs"},
        {{"--fault", "dc-low:-48@1"}, "volts \"-48\" must be above 0"},
        {{"--fault", "dc-high:0@1"}, "volts \"0\" must be above 0"},
        {{"--interval", "-1"}, "--interval -1 must be 0 to 86400 seconds"},
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

TEST(PowersimCli, DcHighReproducesTheDocumentedUpperLimit) {
    // examples/thresholds/gateway-mode5.json: dc.v above 56.5 V raises 419401001.
    testsupport::TempDir dir;
    const std::string cap = (dir.path() / "high.cap").string();
    ASSERT_EQ(run_process({POWERSIM_PATH, "--out", cap, "--rounds", "3", "--fault", "dc-high@2"})
                  .status,
              0);
    const auto run = testsupport::run_smdgw(
        {"--config", std::string(SOURCE_DIR) + "/examples/thresholds/gateway-mode5.json",
         "--replay", cap});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto alarms = testsupport::events(testsupport::json_lines(run.out), "alarm");
    ASSERT_EQ(alarms.size(), 2u);
    EXPECT_EQ(alarms[0]["alarm_id"].asString(), "419401001");
    EXPECT_EQ(alarms[0]["state"].asString(), "raised");
    EXPECT_EQ(alarms[0]["value"].asString(), "58");
    EXPECT_EQ(alarms[1]["state"].asString(), "cleared");
}

}  // namespace
