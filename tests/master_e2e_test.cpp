// The gateway as master, end to end: smdgw polls powersim --respond over a
// pseudo-terminal pair and publishes what the plant answered, through lost
// and corrupted responses, echoes, silence, two plants on one line, control
// requests and plant faults.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/master_run.h"
#include "tests/support/pty_bridge.h"
#include "tests/support/run_process.h"
#include "tests/support/smdgw_run.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace {

using testsupport::MasterRun;
using testsupport::run_master;

std::string master_config(const std::string& extra, const std::string& app_setting) {
    return R"({"devices":[{"name":"plant","data_id":418,"address":1,"role":"master")" + extra +
           R"(,"appSetting":{)" + app_setting + "}}]}";
}

// For the runs that expect every answer in time: a sanitizer build on a
// loaded machine may answer later than the default 500 ms, which would be a
// slow machine, not a lost response.
const char* const kPatient = R"(,"response_timeout_ms":5000)";

struct Layout {
    const char* what;
    std::vector<std::string> sim;
    std::string device_keys;  // added to the device entry
    std::string app_setting;
    unsigned dc_panels;
};

TEST(MasterPolling, RoundsMatchThePlantInBothEncodingsAndLayouts) {
    const Layout layouts[] = {
        {"float, two DC panels with a panel-count byte",
         {"--modules", "5"},
         "",
         R"("has_dc":1)",
         2},
        {"float with towers, echoing adapter",
         {"--modules", "3", "--towers", "--echo"},
         "",
         R"("has_dc":1,"has_tower":1)",
         2},
        {"fixed point, protocol 0x21, one panel without panel-count byte",
         {"--modules", "4", "--panels", "1", "--no-panel-count"},
         R"(,"encoding":"fixed","protocol_version":"0x21")",
         R"("has_dc":1)",
         1},
        {"fixed point with towers and an echo",
         {"--modules", "2", "--towers", "--echo"},
         R"(,"encoding":"fixed")",
         R"("has_dc":1,"has_tower":1)",
         2},
    };
    constexpr int kRounds = 4;
    for (const Layout& l : layouts) {
        SCOPED_TRACE(l.what);
        testsupport::TempDir dir;
        const MasterRun run =
            run_master(dir, master_config(kPatient + l.device_keys, l.app_setting), l.sim,
                       {"--count", std::to_string(kRounds), "--time-scale", "10"});
        ASSERT_EQ(run.status, 0) << run.err;
        const auto records = run.records("plant");
        ASSERT_EQ(records.size(), static_cast<size_t>(kRounds));
        testsupport::expect_records_from_plant(run, "plant", 1);
        // Every round as the plant saw it: no loss, no retry.
        EXPECT_EQ(run.rounds_sent(1).size(), static_cast<size_t>(kRounds));
        EXPECT_EQ(run.rounds_sent(1)[0]["encoding"].asString(),
                  l.device_keys.find("fixed") != std::string::npos ? "fixed" : "float");
        const Json::Value poll = run.poll_stats("plant");
        EXPECT_EQ(poll["rounds_completed"].asUInt(), static_cast<unsigned>(kRounds));
        EXPECT_EQ(poll["timeouts"].asUInt(), 0u);
        EXPECT_EQ(poll["frame_errors"].asUInt(), 0u);
        const bool echo = l.sim.back() == "--echo";
        EXPECT_EQ(poll["echoes"].asUInt(), echo ? poll["commands"].asUInt() : 0u);
        EXPECT_EQ(poll["responses"].asUInt(), poll["commands"].asUInt());
        // Panel 2 is in the record exactly when the plant reported it.
        const Json::Value& last = records.back()["record"];
        if (l.dc_panels == 2)
            EXPECT_NEAR(last["dc2"]["v"].asDouble(),
                        run.rounds_sent(1).back()["snapshot"]["dc2"]["v"].asDouble(), 1e-4);
        else
            EXPECT_EQ(last["dc2"]["v"].asDouble(), 0.0);
    }
}

TEST(MasterPolling, ASerialServerIsPolledAsASerialPortIs) {
    testsupport::TempDir dir;
    const MasterRun run =
        run_master(dir, master_config(kPatient, R"("has_dc":1)"), {"--modules", "6", "--echo"},
                   {"--count", "3", "--time-scale", "10"}, testsupport::MasterLink::Tcp);
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.records("plant").size(), 3u);
    testsupport::expect_records_from_plant(run, "plant", 1);
    EXPECT_EQ(run.poll_stats("plant")["timeouts"].asUInt(), 0u);
}

TEST(MasterPolling, LostAndCorruptedResponsesCostAtMostTheirRound) {
    testsupport::TempDir dir;
    // Every timeout here should be a lost or spoilt answer, not a slow machine
    // (kPatient's reason): at the default 500 ms, a sanitizer build with both
    // cores loaded once saw the plant start one round more than the gateway
    // published or abandoned, as a late answer taken for the next command's
    // would. Three times the default keeps the lost answers' waits short.
    const MasterRun run =
        run_master(dir, master_config(R"(,"response_timeout_ms":1500)", R"("has_dc":1)"),
                   {"--modules", "4", "--drop", "0.04", "--corrupt", "0.04", "--seed", "7"},
                   {"--count", "12", "--time-scale", "10"});
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.records("plant").size(), 12u);
    testsupport::expect_records_from_plant(run, "plant", 1);
    const Json::Value poll = run.poll_stats("plant");
    // Each timeout ended one round and nothing else: the plant saw one round
    // start per published round plus one per abandoned round.
    EXPECT_GT(poll["timeouts"].asUInt(), 0u);
    EXPECT_GT(poll["frame_errors"].asUInt(), 0u);
    EXPECT_EQ(poll["rounds_abandoned"].asUInt(), poll["timeouts"].asUInt());
    EXPECT_EQ(run.rounds_sent(1).size(), 12u + poll["rounds_abandoned"].asUInt())
        << poll.toStyledString() << run.err;
    EXPECT_NE(run.err.find("round abandoned"), std::string::npos) << run.err;
    // A round is published only when every step was answered intact: each
    // is complete, every section fresh, whatever the trouble between them.
    for (const Json::Value& r : run.records("plant")) {
        EXPECT_TRUE(r["complete"].asBool()) << r.toStyledString();
        for (const char* s : {"ac", "rectifiers", "dc"})
            EXPECT_EQ(r["sections"][s].asString(), "fresh") << r.toStyledString();
    }
}

TEST(MasterPolling, SilenceRaisesTheCommunicationAlarmUntilThePlantAnswersAgain) {
    testsupport::TempDir dir;
    // The plant falls silent (stopped) after two published rounds until the
    // alarm is out, however slowly the gateway runs; the host clock runs 40
    // times faster, so the 120 s the alarm waits for pass in 3 s.
    const auto silence = [](testsupport::Child& plant, const std::string& out) {
        const auto count = [&](const char* event) {
            size_t n = 0;
            for (const Json::Value& l : testsupport::json_lines(testsupport::read_text(out)))
                if (l["event"] == event && (l["event"] == "record" || l["alarm_id"] == "120600180010"))
                    ++n;
            return n;
        };
        ASSERT_TRUE(testsupport::wait_until([&] { return count("record") >= 2; }, 60));
        plant.signal(SIGSTOP);
        const bool raised = testsupport::wait_until([&] { return count("alarm") >= 1; }, 60);
        plant.signal(SIGCONT);
        ASSERT_TRUE(raised);
    };
    const MasterRun run =
        run_master(dir, master_config(R"(,"alarm_levels":{"120600180010":3})", R"("has_dc":1)"),
                   {"--modules", "2"}, {"--count", "4", "--time-scale", "40"},
                   testsupport::MasterLink::Pty, silence);
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> seen;  // records and communication alarms, in order
    for (const Json::Value& l : run.lines) {
        if (l["event"] == "record") seen.push_back("record");
        if (l["event"] == "alarm" && l["alarm_id"] == "120600180010")
            seen.push_back(l["state"].asString());
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"record", "record", "raised", "record", "cleared",
                                              "record"}));
    EXPECT_GT(run.poll_stats("plant")["timeouts"].asUInt(), 0u);
    // A plant silent as a whole has lost its line: no section of it is
    // reported missing on its own.
    for (const Json::Value& l : run.lines)
        EXPECT_FALSE(l["event"] == "alarm" && l["alarm_id"].asString().rfind("smdgw-section-", 0) == 0)
            << l.toStyledString();
}

TEST(MasterPolling, APlantSlowerThanTheTimeoutIsToldWithTheTimeoutThatWouldWaitForIt) {
    testsupport::TempDir dir;
    testsupport::PtyBridge line;
    // Every answer comes 150 ms after its command; the gateway waits 100 ms.
    testsupport::Child plant({POWERSIM_PATH, "--respond", "--rounds", "0", "--modules", "2",
                              "--answer-delay", "150", "--port", line.end_a()},
                             (dir.path() / "sim.out").string(), (dir.path() / "sim.err").string());
    const std::string err = (dir.path() / "gw.err").string();
    testsupport::Child gw(
        {SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config",
         dir.write_s("gw.json", master_config(R"(,"response_timeout_ms":100)", R"("has_dc":1)")),
         "--port", line.end_b(), "--time-scale", "10"},
        (dir.path() / "gw.out").string(), err);
    const std::string said = "ms timeout (1 late so far): a \"response_timeout_ms\" of ";
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (testsupport::read_text(err).find(said) == std::string::npos &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    gw.signal(SIGTERM);
    ASSERT_EQ(gw.wait(30), 0);
    const std::string text = testsupport::read_text(err);
    EXPECT_NE(text.find("no response to 40/41 within 100 ms (1 so far); round abandoned"),
              std::string::npos)
        << text;
    const auto at = text.find(said);
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_NE(text.find("the answer to 40/41 came 1"), std::string::npos) << text;
    const unsigned suggested = std::strtoul(text.c_str() + at + said.size(), nullptr, 10);
    const auto stats = testsupport::events(
        testsupport::json_lines(testsupport::read_text((dir.path() / "gw.out").string())), "stats");
    ASSERT_FALSE(stats.empty());
    const Json::Value poll = stats.back()["poll"];
    EXPECT_GE(poll["late_responses"].asUInt(), 1u);
    EXPECT_GE(poll["latest_response_ms"].asUInt(), 100u);
    EXPECT_EQ(poll["rounds_completed"].asUInt(), 0u);
    EXPECT_GT(suggested, poll["latest_response_ms"].asUInt());
    plant.signal(SIGTERM);
    plant.wait(30);

    // With the suggested timeout the same plant gives whole rounds.
    const MasterRun run = run_master(
        dir,
        master_config(R"(,"response_timeout_ms":)" + std::to_string(suggested), R"("has_dc":1)"),
        {"--modules", "2", "--answer-delay", "150"}, {"--count", "2", "--time-scale", "10"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.records("plant").size(), 2u);
}

TEST(MasterPolling, TwoPlantsAtTwoAddressesArePolledInTurnIntoTheirOwnDevices) {
    testsupport::TempDir dir;
    const std::string config = R"({"devices":[
        {"name":"east","data_id":1,"address":1,"role":"master","response_timeout_ms":5000,
         "appSetting":{"has_dc":1}},
        {"name":"west","data_id":2,"address":2,"role":"master","encoding":"fixed",
         "response_timeout_ms":5000,"appSetting":{"has_dc":1}}]})";
    const MasterRun run = run_master(dir, config, {"--plants", "2", "--modules", "3", "--echo"},
                                     {"--count", "6", "--time-scale", "10"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> order;
    for (const Json::Value& r : run.records()) order.push_back(r["device"].asString());
    EXPECT_EQ(order, (std::vector<std::string>{"east", "west", "east", "west", "east", "west"}));
    testsupport::expect_records_from_plant(run, "east", 1);
    testsupport::expect_records_from_plant(run, "west", 2);
    EXPECT_EQ(run.rounds_sent(2)[0]["encoding"].asString(), "fixed");
    for (const char* d : {"east", "west"}) {
        EXPECT_EQ(run.poll_stats(d)["timeouts"].asUInt(), 0u) << d;
        EXPECT_EQ(run.poll_stats(d)["other_address"].asUInt(), 0u) << d;
    }
}

TEST(MasterPolling, ControlRequestReachesThePlantBetweenRoundsAndItsReplyIsNoData) {
    testsupport::TempDir dir;
    // After two rounds: switch rectifier 3 on (code 320), then read the
    // driver's result flag (code 1), which the reply sets to 1.
    const MasterRun run = run_master(dir, master_config(kPatient, R"("has_dc":1)"), {"--modules", "4"},
                                     {"--count", "4", "--time-scale", "10", "--control-at", "2",
                                      "320", "419500201003", "--control-at", "2", "1", ""});
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> seen;
    for (const Json::Value& l : run.lines) {
        if (l["event"] == "record") seen.push_back("record");
        if (l["event"] == "control")
            seen.push_back("control " + l["code"].asString() + " -> " +
                           l["output"].toStyledString());
        if (l["event"] == "command" && l["cid1"] == 0x41 && l["cid2"] == 0x45)
            seen.push_back("command 41/45 " + l["info"].asString());
    }
    // The command goes out within code 320's call; its reply, handed to the
    // driver before the next round, is what code 1 reads back.
    EXPECT_EQ(seen, (std::vector<std::string>{"record", "record", "command 41/45 E503",
                                              "control 320 -> null\n", "control 1 -> 1\n", "record",
                                              "record"}));
    // The plant got it after its second round, before its third.
    Json::Value control;
    for (const Json::Value& s : run.sent)
        if (s.isMember("control")) control = s;
    EXPECT_EQ(control["control"]["cid2"].asUInt(), 0x45u);
    EXPECT_EQ(control["control"]["info"].asString(), "E503");
    EXPECT_EQ(control["after_round"].asUInt(), 2u);
    testsupport::expect_records_from_plant(run, "plant", 1);
    EXPECT_EQ(run.poll_stats("plant")["controls"].asUInt(), 2u);
}

// Records and alarm changes (the input-power rule aside) in output order.
std::vector<std::string> records_and_alarms(const std::vector<Json::Value>& lines) {
    std::vector<std::string> seen;
    for (const Json::Value& l : lines) {
        if (l["event"] == "record") seen.push_back("record");
        if (l["event"] == "alarm" && l["key"] != "PowerOff")
            seen.push_back(l["state"].asString() + " " + l["key"].asString() + " " +
                           l["message"].asString());
    }
    return seen;
}

TEST(MasterPolling, PlantFaultsRaiseAndClearTheSameAlarmsAsWhenListening) {
    const std::vector<std::string> plant = {
        "--modules",        "3",       "--fault", "breaker-trip:1@2-3", "--fault",
        "module-fault:2@3", "--fault", "fan:1@3"};
    testsupport::TempDir dir;
    const MasterRun run = run_master(dir, master_config(kPatient, R"("has_dc":1)"), plant,
                                     {"--count", "5", "--time-scale", "10"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> seen = records_and_alarms(run.lines);
    const std::string breaker = "p40_44_0 第1路交流输入-交流输入空开跳";
    const std::string fault = "K418TRC_0 模块2模块故障告警状态";
    const std::string fan = "K418TRC_1 模块1模块风扇告警";
    const std::string family_fault = "419430501002 模块故障告警";
    // The family's rule first, then the status-byte rules, as in a captured round.
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "record", "record", "raised " + breaker, "record", "raised " + family_fault,
                        "raised " + fan, "raised " + fault, "record", "cleared " + family_fault,
                        "cleared " + breaker, "cleared " + fan, "cleared " + fault, "record"}));

    // The same plant followed by a listening device: the same alarms.
    std::vector<std::string> capture = {POWERSIM_PATH, "--rounds", "5", "--out",
                                        (dir.path() / "plant.cap").string()};
    capture.insert(capture.end(), plant.begin(), plant.end());
    ASSERT_EQ(testsupport::run_process(capture).status, 0);
    const auto listen = testsupport::run_smdgw(
        {"--config", dir.write_s("listen.json", R"({"devices":[{"name":"plant","data_id":418}]})"),
         "--replay", (dir.path() / "plant.cap").string(), "--log",
         (dir.path() / "listen.log").string()});
    ASSERT_EQ(listen.status, 0) << listen.err;
    EXPECT_EQ(records_and_alarms(testsupport::json_lines(listen.out)), seen);
}

TEST(MasterConfiguration, AMasterOwnsItsPort) {
    testsupport::TempDir dir;
    struct Case {
        const char* config;
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {R"({"devices":[{"name":"m","data_id":1,"role":"master"},
                        {"name":"l","data_id":2,"address":2}]})",
         {"--port", "/dev/null"},
         "device \"m\" polls as master and device \"l\" listens"},
        {R"({"devices":[{"name":"m","data_id":1,"role":"master","port":"/dev/ttyS9"},
                        {"name":"l","data_id":2,"port":"/dev/ttyS9"}]})",
         {"--port", "/dev/null"},
         "port \"/dev/ttyS9\": device \"m\" polls as master"},
        {R"({"devices":[{"name":"a","data_id":1,"role":"master"},
                        {"name":"b","data_id":2,"role":"master"}]})",
         {"--port", "/dev/null"},
         "both poll address 1"},
        {R"({"devices":[{"name":"m","data_id":1,"role":"master"}]})",
         {"--replay", "/dev/null"},
         "cannot follow a capture file"},
        {R"({"devices":[{"name":"m","data_id":1,"role":"boss"}]})",
         {"--port", "/dev/null"},
         "\"role\" must be \"listen\" or \"master\""},
        {R"({"devices":[{"name":"m","data_id":1,"role":"master","encoding":"bcd"}]})",
         {"--port", "/dev/null"},
         "\"encoding\" must be \"float\" or \"fixed\""},
        {R"({"devices":[{"name":"m","data_id":1,"role":"master","protocol_version":34}]})",
         {"--port", "/dev/null"},
         "\"protocol_version\" must be 0x20 or 0x21"},
        {R"({"devices":[{"name":"m","data_id":1,"role":"master","response_timeout_ms":0}]})",
         {"--port", "/dev/null"},
         "\"response_timeout_ms\" must be an integer 10 to 60000"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--config", dir.write_s("gw.json", c.config)};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto r = testsupport::run_smdgw(args);
        EXPECT_EQ(r.status, 2) << c.config << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

}  // namespace
