// smdgw and its ports: a port that appears late is followed, a port that
// never appears does not stop the others, a port pulled and put back is
// followed again, a port the user may not open says what to change, and a
// regular file is no port.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
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

// Waits (bounded) until the file's text satisfies done.
bool wait_for_text(const std::string& path, const std::function<bool(const std::string&)>& done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < until) {
        if (done(read_text(path))) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

size_t records(const std::string& out) { return events(json_lines(out), "record").size(); }

TEST(PortAtBoot, APortAppearingLateIsFollowedAndAMissingOneWaitsAside) {
    PtyBridge line;
    TempDir dir;
    // The adapter enumerates late: its name appears once the gateway found it
    // missing.
    const std::string late = (dir.path() / "ttyLATE").string();
    const std::string config = R"({"devices":[{"name":"late","data_id":418,"address":1,"port":")" +
                               late + R"("},{"name":"never","data_id":419,"address":2,"port":")" +
                               (dir.path() / "ttyNEVER").string() + R"("}]})";
    // Every device names its port: no --port needed.
    Child gw({SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config", dir.write_s("gw.json", config),
              "--count", "2"},
             (dir.path() / "out.txt").string(), (dir.path() / "err.txt").string());
    ASSERT_TRUE(wait_for_text((dir.path() / "err.txt").string(), [](const std::string& t) {
        return has(t, "ttyLATE: No such file or directory");
    }));
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
    EXPECT_NE(err.find("ttyLATE: No such file or directory; trying again every second for a "
                       "minute, then at least every 10 s and at once when it appears"),
              std::string::npos)
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

TEST(PortWhileRunning, APortPulledAndPutBackIsFollowedAgainEachChangeSaidOnce) {
    TempDir dir;
    const std::string link = (dir.path() / "ttyUSB").string();
    const std::string out = (dir.path() / "out.txt").string();
    const std::string err = (dir.path() / "err.txt").string();
    auto line = std::make_unique<PtyBridge>();
    std::filesystem::create_symlink(line->end_b(), link);
    Child gw({SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config",
              dir.write_s("gw.json",
                          R"({"devices":[{"name":"p","data_id":418,"port":")" + link + R"("}]})")},
             out, err);
    const std::vector<std::string> plant = {
        POWERSIM_PATH, "--rounds", "0", "--realtime", "--interval", "0.2", "--seed", "4", "--port"};
    auto sim = std::make_unique<Child>(
        [&] {
            auto a = plant;
            a.push_back(line->end_a());
            return a;
        }(),
        (dir.path() / "sim.out").string(), (dir.path() / "sim.err").string());
    ASSERT_TRUE(wait_for_text(out, [](const std::string& t) { return records(t) >= 1; }));

    // The adapter is pulled: its node goes, the line closes.
    sim.reset();
    std::filesystem::remove(link);
    line.reset();
    ASSERT_TRUE(wait_for_text(err, [](const std::string& t) { return has(t, "closed;"); }))
        << read_text(err);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const size_t before = records(read_text(out));

    // ... and put back.
    line = std::make_unique<PtyBridge>();
    std::filesystem::create_symlink(line->end_b(), link);
    auto a = plant;
    a.push_back(line->end_a());
    sim = std::make_unique<Child>(a, (dir.path() / "sim2.out").string(),
                                  (dir.path() / "sim2.err").string());
    ASSERT_TRUE(wait_for_text(out, [&](const std::string& t) { return records(t) > before; }))
        << read_text(err);
    gw.signal(SIGTERM);
    EXPECT_EQ(gw.wait(kTimeout), 0);

    // Each change once: closed, open again; the retries in between are not said.
    const std::string e = read_text(err);
    EXPECT_EQ(e, "smdgw: port " + link +
                     " closed; trying again every second for a minute, then at "
                     "least every 10 s and at once when it appears\n" +
                     e.substr(e.find("smdgw: port " + link + " is open (after ")))
        << e;
    EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), 2) << e;
}

TEST(PortWhileRunning, APortTheUserMayNotOpenSaysWhatToChangeAndIsOpenedWhenAllowed) {
    if (::geteuid() != 0 || !std::filesystem::exists("/usr/bin/setpriv"))
        GTEST_SKIP() << "needs root to run smdgw as another user";
    // A build under a directory only root may enter (mktemp -d makes one)
    // cannot be run as nobody at all.
    const auto reach = testsupport::run_process(
        {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/bin/sh", "-c",
         std::string("test -x '") + SMDGW_PATH + "' && test -r '" + PLUGIN_PATH + "'"});
    if (reach.status != 0)
        GTEST_SKIP() << "user nobody cannot run " << SMDGW_PATH << " (a parent directory is "
                     << "closed to it)";
    TempDir dir;
    // The unprivileged user reads the configuration and writes its output here.
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
    PtyBridge line;
    ASSERT_EQ(::chmod(line.end_b().c_str(), 0600), 0);
    const std::string out = (dir.path() / "out.txt").string();
    const std::string err = (dir.path() / "err.txt").string();
    Child gw({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", SMDGW_PATH,
              "--plugin", PLUGIN_PATH, "--config",
              dir.write_s("gw.json", R"({"devices":[{"name":"p","data_id":418,"port":")" +
                                         line.end_b() + R"("}]})")},
             out, err);
    ASSERT_TRUE(
        wait_for_text(err, [](const std::string& t) { return has(t, "Permission denied"); }))
        << read_text(err);
    // The message names the owner, the mode and the user, and what to change.
    EXPECT_TRUE(has(read_text(err),
                    "smdgw: cannot open port " + line.end_b() +
                        ": Permission denied; pseudo-terminal, owner root, group root, mode "
                        "crw-------, and smdgw runs as user nobody (uid 65534): a pseudo-terminal "
                        "belongs to the program that opened its other end: run smdgw as root or "
                        "give it read and write for this user"))
        << read_text(err);

    ASSERT_EQ(::chmod(line.end_b().c_str(), 0666), 0);
    Child sim({POWERSIM_PATH, "--port", line.end_a(), "--rounds", "0", "--realtime", "--interval",
               "0.2", "--seed", "4"},
              (dir.path() / "sim.out").string(), (dir.path() / "sim.err").string());
    EXPECT_TRUE(wait_for_text(out, [](const std::string& t) { return records(t) >= 1; }))
        << read_text(err);
    gw.signal(SIGTERM);
    EXPECT_EQ(gw.wait(kTimeout), 0);
    EXPECT_TRUE(has(read_text(err), "smdgw: port " + line.end_b() + " is open (after "))
        << read_text(err);
}

}  // namespace
