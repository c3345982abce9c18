// smdgw at boot: a port that appears late is followed, a port that never
// appears does not stop the others, and a regular file is no port.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/pty_bridge.h"
#include "tests/support/run_process.h"
#include "tests/support/smdgw_run.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::Child;
using testsupport::events;
using testsupport::json_lines;
using testsupport::PtyBridge;
using testsupport::read_text;
using testsupport::run_smdgw;
using testsupport::TempDir;

constexpr double kTimeout = 60.0;

TEST(PortAtBoot, APortAppearingThreeSecondsLateIsFollowedAndAMissingOneWaitsAside) {
    PtyBridge line;
    TempDir dir;
    // The adapter enumerates late: its name appears 3 s after the start.
    const std::string late = (dir.path() / "ttyLATE").string();
    const std::string config =
        R"({"devices":[{"name":"late","data_id":418,"address":1,"port":")" + late +
        R"("},{"name":"never","data_id":419,"address":2,"port":")" +
        (dir.path() / "ttyNEVER").string() + R"("}]})";
    // Every device names its port: no --port needed.
    Child gw({SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config", dir.write_s("gw.json", config),
              "--count", "2"},
             (dir.path() / "out.txt").string(), (dir.path() / "err.txt").string());
    std::this_thread::sleep_for(std::chrono::seconds(3));
    std::filesystem::create_symlink(line.end_b(), late);
    // The plant keeps talking until the gateway has what it waits for.
    Child sim({POWERSIM_PATH, "--port", line.end_a(), "--rounds", "0", "--realtime", "--interval",
               "0.2", "--seed", "4"},
              (dir.path() / "sim.out").string(), (dir.path() / "sim.err").string());
    ASSERT_EQ(gw.wait(kTimeout), 0) << read_text((dir.path() / "err.txt").string());
    sim.signal(SIGTERM);
    sim.wait(kTimeout);

    const auto lines = json_lines(read_text((dir.path() / "out.txt").string()));
    EXPECT_EQ(events(lines, "record", "late").size(), 2u);
    const auto late_stats = events(lines, "stats", "late");
    const auto never_stats = events(lines, "stats", "never");
    ASSERT_EQ(late_stats.size(), 1u);
    ASSERT_EQ(never_stats.size(), 1u);
    EXPECT_EQ(late_stats[0]["state"].asString(), "live");
    EXPECT_EQ(late_stats[0]["port"].asString(), "open");
    EXPECT_GE(late_stats[0]["port_failures"].asUInt(), 1u);
    EXPECT_EQ(never_stats[0]["state"].asString(), "no-port");
    EXPECT_EQ(never_stats[0]["port"].asString(), "no-port");
    EXPECT_GE(never_stats[0]["port_failures"].asUInt(), 1u);
    const std::string err = read_text((dir.path() / "err.txt").string());
    EXPECT_NE(err.find("ttyLATE: No such file or directory; retrying in 1 s"), std::string::npos)
        << err;
    EXPECT_NE(err.find("port " + late + " is open"), std::string::npos) << err;
}

TEST(PortAtBoot, ARegularFileIsNoPort) {
    TempDir dir;
    const std::string cap = dir.write_s("plant.cap", "~20014000...\r");
    const std::string one = R"({"devices":[{"name":"p","data_id":418}]})";
    auto run = run_smdgw({"--config", dir.write_s("gw.json", one), "--port", cap});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("use --replay for capture files"), std::string::npos) << run.err;

    const std::string own = R"({"devices":[{"name":"p","data_id":418,"port":")" + cap + R"("}]})";
    run = run_smdgw({"--config", dir.write_s("own.json", own)});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("device \"p\": \"port\": port " + cap +
                           " is a regular file; use --replay for capture files"),
              std::string::npos)
        << run.err;

    // Without --port, a device that names no port is named.
    run = run_smdgw({"--config", dir.write_s("none.json", one)});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("device \"p\" names no \"port\" and no --port is given"),
              std::string::npos)
        << run.err;
}

}  // namespace
