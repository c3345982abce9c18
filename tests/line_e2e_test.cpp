// smdgw following a live line fed by powersim: over real pseudo-terminals,
// over a TCP serial server, with plant faults, line faults, a lost closing
// response, two plants on one line and a silent line.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/reader.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/plant_compare.h"
#include "tests/support/free_port.h"
#include "tests/support/powersim_feed.h"
#include "tests/support/pty_bridge.h"
#include "tests/support/run_process.h"
#include "tests/support/smdgw_run.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"
#include "tools/common/example_plant.h"
#include "tools/common/frame_builder.h"

namespace {

using testsupport::Child;
using testsupport::events;
using testsupport::expect_record_matches;
using testsupport::json_lines;
using testsupport::PtyBridge;
using testsupport::read_text;
using testsupport::run_process;
using testsupport::TempDir;

// A generous safety net: every run here takes a few seconds at most.
constexpr double kTimeout = 60.0;

const char* const kOnePlant = R"({"devices":[{"name":"plant1","data_id":418,"address":1}]})";

struct Gateway {
    TempDir dir;
    std::unique_ptr<Child> child;

    // Starts smdgw with the configuration text and the extra arguments.
    void start(const std::string& config, std::vector<std::string> args) {
        std::vector<std::string> argv = {SMDGW_PATH,
                                         "--plugin",
                                         PLUGIN_PATH,
                                         "--config",
                                         dir.write_s("gw.json", config),
                                         "--log",
                                         (dir.path() / "driver.log").string()};
        argv.insert(argv.end(), args.begin(), args.end());
        child = std::make_unique<Child>(argv, out(), err());
    }
    std::string out() const { return (dir.path() / "out.txt").string(); }
    std::string err() const { return (dir.path() / "err.txt").string(); }
    std::vector<Json::Value> lines() const { return json_lines(read_text(out())); }
};

std::vector<Json::Value> sent_rounds(const std::string& path) {
    return json_lines(read_text(path));
}

TEST(LineOverPty, RoundsMatchTheSimulator) {
    PtyBridge line;
    Gateway gw;
    gw.start(kOnePlant, {"--port", line.end_b(), "--count", "5"});
    const std::string sent = (gw.dir.path() / "sent.json").string();
    const auto sim = run_process(
        {POWERSIM_PATH, "--port", line.end_a(), "--rounds", "5", "--seed", "7", "--json", sent});
    ASSERT_EQ(sim.status, 0) << sim.err;
    ASSERT_EQ(gw.child->wait(kTimeout), 0) << read_text(gw.err());

    const auto records = events(gw.lines(), "record");
    const auto rounds = sent_rounds(sent);
    ASSERT_EQ(records.size(), 5u);
    ASSERT_EQ(rounds.size(), 5u);
    for (size_t r = 0; r < 5; ++r) {
        EXPECT_EQ(records[r]["record"]["data_id"].asUInt(), 418u);
        expect_record_matches(records[r]["record"], rounds[r]["snapshot"],
                              "round " + std::to_string(r + 1));
    }
}

TEST(LineFaults, CorruptedFramesAreCountedAndTheRoundsAroundThemPublish) {
    TempDir dir;
    const std::string cap = (dir.path() / "noisy.cap").string();
    const std::string sent = (dir.path() / "sent.json").string();
    const auto sim = run_process({POWERSIM_PATH, "--out", cap, "--rounds", "12", "--seed", "3",
                                  "--corrupt", "0.03", "--noise", "0.2", "--json", sent});
    ASSERT_EQ(sim.status, 0) << sim.err;
    unsigned corrupted = 0, publishable = 0;
    std::vector<Json::Value> intact;
    for (const auto& r : sent_rounds(sent)) {
        corrupted += r["corrupted"].asUInt();
        if (r["published"].asBool()) ++publishable;
        if (r["intact"].asBool()) intact.push_back(r);
    }
    ASSERT_GT(corrupted, 0u) << "the seed must corrupt some frames";
    ASSERT_GT(intact.size(), 0u);

    const auto run = run_process({SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config",
                                  dir.write_s("gw.json", kOnePlant), "--replay", cap, "--log",
                                  (dir.path() / "driver.log").string()});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = json_lines(run.out);
    const auto records = events(lines, "record");
    EXPECT_EQ(records.size(), publishable);
    const auto stats = events(lines, "stats");
    ASSERT_EQ(stats.size(), 1u);
    EXPECT_EQ(stats[0]["frame_errors"]["checksum"].asUInt(), corrupted);
    EXPECT_EQ(stats[0]["frame_errors_total"].asUInt(), corrupted);
    EXPECT_GT(stats[0]["stray_bytes"].asUInt(), 0u);
    EXPECT_EQ(stats[0]["rounds_published"].asUInt(), publishable);
    // A round whose every frame arrived carries exactly what was sent.
    for (const auto& r : records) {
        const unsigned y = r["record"]["update_time"]["year"].asUInt();
        EXPECT_GE(y, 2024u);
    }
}

TEST(LineFaults, TheSimulatorsPublishedRoundsAreExactlyThoseTheGatewayPublishes) {
    // Heavy corruption: some rounds lose their close and the next loses its
    // opening command, so the round left open is published by the next close.
    TempDir dir;
    const std::string cap = (dir.path() / "faulty.cap").string();
    const std::string sent = (dir.path() / "sent.json").string();
    const auto sim = run_process({POWERSIM_PATH, "--out", cap, "--rounds", "300", "--seed", "5",
                                  "--corrupt", "0.12", "--drop", "0.05", "--json", sent});
    ASSERT_EQ(sim.status, 0) << sim.err;
    unsigned publishable = 0, intact = 0, after_loss = 0;
    bool prev_published = true;
    for (const auto& r : sent_rounds(sent)) {
        publishable += r["published"].asBool();
        intact += r["intact"].asBool();
        if (!prev_published && r["published"].asBool() && r["corrupted"].asUInt() > 0) ++after_loss;
        prev_published = r["published"].asBool();
    }
    ASSERT_GT(after_loss, 0u) << "the seed must lose some rounds";
    const auto run = run_process({SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config",
                                  dir.write_s("gw.json", kOnePlant), "--replay", cap, "--log",
                                  (dir.path() / "driver.log").string()});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto records = events(json_lines(run.out), "record");
    EXPECT_EQ(records.size(), publishable);
    EXPECT_GE(records.size(), intact);
}

TEST(LineFaults, LostClosingResponseLeavesThatRoundUnpublished) {
    using namespace veltra_frames;
    PtyBridge line;
    Gateway gw;
    gw.start(kOnePlant, {"--port", line.end_b(), "--count", "2"});
    // Round 2 loses the response to 0xE1/0x90; round 3 opens a new round.
    std::string wire = round_text(example_plant(0));
    const LineAddress at;
    for (const auto& ex : round_exchanges(example_plant(1))) {
        wire += command_frame(at, ex.cid1, ex.cid2, ex.command_info);
        if (!(ex.cid1 == 0xE1 && ex.cid2 == 0x90))
            wire += response_frame(at, ex.cid1, ex.response_info);
    }
    wire += round_text(example_plant(2));
    const int fd = ::open(line.end_a().c_str(), O_WRONLY | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, wire.data(), wire.size()), static_cast<ssize_t>(wire.size()));
    ASSERT_EQ(gw.child->wait(kTimeout), 0) << read_text(gw.err());
    ::close(fd);
    const auto records = events(gw.lines(), "record");
    ASSERT_EQ(records.size(), 2u);
    const float v1 = example_plant(0).panels[0].v, v3 = example_plant(2).panels[0].v;
    EXPECT_FLOAT_EQ(records[0]["record"]["dc"]["v"].asFloat(), v1);
    EXPECT_FLOAT_EQ(records[1]["record"]["dc"]["v"].asFloat(), v3);
}

TEST(LineFaults, EveryPlantFaultRaisesItsAlarmAndClearsAfter) {
    PtyBridge line;
    Gateway gw;
    gw.start(read_text(std::string(SOURCE_DIR) + "/examples/demo.json"),
             {"--port", line.end_b(), "--count", "3"});
    const auto sim = run_process(
        {POWERSIM_PATH,    "--port",           line.end_a(),       "--rounds",   "3",
         "--fault",        "breaker-trip:1@2", "--fault",          "surge:2@2",  "--fault",
         "mains-fail:2@2", "--fault",          "module-fault:3@2", "--fault",    "fan:4@2",
         "--fault",        "module-off:5@2",   "--fault",          "fuse:2:3@2", "--fault",
         "dc-low:45@2"});
    ASSERT_EQ(sim.status, 0) << sim.err;
    ASSERT_EQ(gw.child->wait(kTimeout), 0) << read_text(gw.err());

    // Alarm changes by round: the record event comes before the alarms of its round.
    std::map<std::string, std::vector<std::pair<int, std::string>>> changes;
    int round = 0;
    for (const auto& l : gw.lines()) {
        if (l["event"].asString() == "record") ++round;
        if (l["event"].asString() == "alarm")
            changes[l["message"].asString()].push_back({round, l["state"].asString()});
    }
    const std::vector<std::string> expected = {
        "第1路交流输入-交流输入空开跳",
        "第2路交流输入-防雷器断",
        "第2路交流输入-交流输入1停电",
        "模块3模块故障告警状态",
        "模块4模块风扇告警",
        "005#48V整流模块运行告警",
        "直流屏2003负载熔丝故障告警",
        "48V直流系统直流总电压过低告警",
    };
    for (const auto& m : expected) {
        const auto it = changes.find(m);
        ASSERT_NE(it, changes.end()) << "no alarm " << m;
        const std::vector<std::pair<int, std::string>> want = {{2, "raised"}, {3, "cleared"}};
        EXPECT_EQ(it->second, want) << m;
    }
    EXPECT_EQ(changes.size(), expected.size()) << "no other alarm changes state";
}

TEST(LineOverPty, TwoPlantsAtTwoAddressesEachGetTheirOwnRecords) {
    PtyBridge line;
    Gateway gw;
    gw.start(R"({"devices":[{"name":"north","data_id":1,"address":1},
                            {"name":"south","data_id":2,"address":2}]})",
             {"--port", line.end_b(), "--count", "6"});
    const std::string sent = (gw.dir.path() / "sent.json").string();
    const auto sim = run_process({POWERSIM_PATH, "--port", line.end_a(), "--plants", "2",
                                  "--rounds", "3", "--modules", "4", "--json", sent});
    ASSERT_EQ(sim.status, 0) << sim.err;
    ASSERT_EQ(gw.child->wait(kTimeout), 0) << read_text(gw.err());

    const auto lines = gw.lines();
    std::map<unsigned, std::vector<Json::Value>> sent_by_address;
    for (const auto& r : sent_rounds(sent)) sent_by_address[r["address"].asUInt()].push_back(r);
    const std::pair<const char*, unsigned> devices[] = {{"north", 1}, {"south", 2}};
    for (const auto& d : devices) {
        const auto records = events(lines, "record", d.first);
        ASSERT_EQ(records.size(), 3u) << d.first;
        for (size_t r = 0; r < 3; ++r) {
            EXPECT_EQ(records[r]["record"]["data_id"].asUInt(), d.second);
            expect_record_matches(records[r]["record"], sent_by_address[d.second][r]["snapshot"],
                                  std::string(d.first) + " round " + std::to_string(r + 1));
        }
    }
    // The two plants' values differ, so a device fed the wrong plant would show.
    EXPECT_NE(sent_by_address[1][0]["snapshot"]["out_v"],
              sent_by_address[2][0]["snapshot"]["out_v"]);
}

TEST(LineOverTcp, SerialServerIsFollowedAcrossADroppedConnection) {
    TempDir sim_dir;
    const std::string spec = "tcp:127.0.0.1:" + std::to_string(testsupport::free_tcp_port());
    const std::string sent = (sim_dir.path() / "sent.json").string();
    Child sim({POWERSIM_PATH, "--listen", spec, "--rounds", "4", "--hangup", "3", "--json", sent},
              (sim_dir.path() / "out.txt").string(), (sim_dir.path() / "err.txt").string());
    Gateway gw;
    gw.start(kOnePlant, {"--port", spec, "--count", "4"});
    ASSERT_EQ(gw.child->wait(kTimeout), 0) << read_text(gw.err());
    ASSERT_EQ(sim.wait(kTimeout), 0) << read_text((sim_dir.path() / "err.txt").string());

    const auto records = events(gw.lines(), "record");
    const auto rounds = sent_rounds(sent);
    ASSERT_EQ(records.size(), 4u);
    for (size_t r = 0; r < 4; ++r)
        expect_record_matches(records[r]["record"], rounds[r]["snapshot"],
                              "round " + std::to_string(r + 1));
    EXPECT_NE(read_text(gw.err()).find("closed; trying again"), std::string::npos)
        << read_text(gw.err());
}

TEST(LineFaults, SilenceRaisesTheCommunicationAlarmAndTheNextRoundClearsIt) {
    PtyBridge line;
    Gateway gw;
    // The host clock runs 30 times faster: the 120 s of silence the alarm waits
    // for pass in 4 s. The plant stays silent until the alarm is out, however
    // slowly the gateway runs, then sends its next rounds.
    gw.start(R"({"devices":[{"name":"plant1","data_id":418,"address":1,
                             "alarm_levels":{"120600180010":3}}]})",
             {"--port", line.end_b(), "--count", "4", "--time-scale", "30"});
    std::string err;
    ASSERT_TRUE(testsupport::feed_rounds(line, "2", "1", {}, &err)) << err;
    const auto raised = [&] {
        for (const auto& l : gw.lines())
            if (l["event"].asString() == "alarm" && l["alarm_id"].asString() == "120600180010")
                return true;
        return false;
    };
    ASSERT_TRUE(testsupport::wait_until(raised, kTimeout)) << read_text(gw.err());
    ASSERT_TRUE(testsupport::feed_rounds(line, "2", "2", {}, &err)) << err;
    ASSERT_EQ(gw.child->wait(kTimeout), 0) << read_text(gw.err());

    std::vector<std::pair<int, std::string>> comm;
    int round = 0;
    for (const auto& l : gw.lines()) {
        if (l["event"].asString() == "record") ++round;
        if (l["event"].asString() == "alarm" && l["alarm_id"].asString() == "120600180010") {
            comm.push_back({round, l["state"].asString()});
            EXPECT_EQ(l["message"].asString(), "通信异常");
            EXPECT_EQ(l["level"].asInt(), 3);
        }
    }
    // Raised during the silence after round 2, cleared as round 3 completes.
    const std::vector<std::pair<int, std::string>> want = {{2, "raised"}, {3, "cleared"}};
    EXPECT_EQ(comm, want);
}

}  // namespace
