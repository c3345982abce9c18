// The battery estimate end to end: powersim's plant loses mains on scaled
// time and its strings carry a steady load; smdgw follows the line and its
// HTTP API and /metrics give the time to the disconnect, which must hold
// within 10 % of the simulator's truth (--json) from the fifth minute of the
// discharge on. Its own alarms follow the estimate: raised as the time left
// falls below their thresholds, cleared when mains returns.

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/pty_bridge.h"
#include "tests/support/run_process.h"
#include "tests/support/smdgw_run.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace {

using testsupport::Child;
using testsupport::json_lines;
using testsupport::wait_until;
using testsupport::parse_json;
using testsupport::PtyBridge;
using testsupport::read_text;
using testsupport::TempDir;

// An hour of the plant in half a minute.
const char* const kScale = "120";
const char* const kConfig =
    R"({"devices":[{"name":"plant1","data_id":418,"address":1,)"
    R"("battery":{"strings_ah":[200],"lvd_v":44.4,"peukert":1.15,"temperature_value":0}}]})";

TEST(BatteryE2e, RuntimeFollowsTheSimulatedMainsFailure) {
    TempDir dir;
    PtyBridge line;
    const std::string err = (dir.path() / "gw.err").string();
    Child gw({SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config", dir.write_s("gw.json", kConfig),
              "--log", (dir.path() / "driver.log").string(), "--port", line.end_b(), "--http",
              "127.0.0.1:0", "--time-scale", kScale},
             (dir.path() / "gw.out").string(), err);
    int port = 0;
    ASSERT_TRUE(wait_until(
        [&] {
            const std::string e = read_text(err);
            const size_t at = e.find("serving http://127.0.0.1:");
            if (at == std::string::npos) return false;
            port = std::stoi(e.substr(at + 25));
            return true;
        },
        30))
        << read_text(err);
    // 200 Ah holding 160, 50 A; mains goes from round 100 (past ten minutes
    // of float at the paced line's rounds, after which the gateway takes the
    // strings as full).
    const std::string truth = (dir.path() / "truth.jsonl").string();
    Child sim({POWERSIM_PATH, "--port", line.end_a(), "--realtime", "--time-scale", kScale,
               "--rounds", "0", "--battery-ah", "200", "--battery-strings", "1",
               "--battery-fade", "0.2", "--fault", "load:50@1-", "--fault", "mains-fail:1@100-",
               "--fault", "mains-fail:2@100-", "--json", truth},
              (dir.path() / "sim.out").string(), (dir.path() / "sim.err").string());
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(10, 0);
    Json::Value est;
    auto fetch = [&] {
        const auto r = client.Get("/api/v1/devices/plant1/battery");
        if (!r || r->status != 200) return false;
        est = parse_json(r->body);
        return true;
    };
    // From the fifth minute of the discharge (the gateway's clock) on.
    double checked = 0, prev = INFINITY;
    const bool done = wait_until(
        [&] {
            if (!fetch() || est["state"].asString() != "discharging" || !est["runtime_s"].isDouble())
                return false;
            const auto rows = json_lines(read_text(truth));
            if (rows.empty() || !rows.back()["battery"]["time_to_lvd_s"].isDouble()) return false;
            // At a steady load the discharge so far is what the true
            // time to LVD has lost since its first round.
            double first_s = 0;
            for (const auto& row : rows)
                if (row["battery"]["time_to_lvd_s"].isDouble()) {
                    first_s = row["battery"]["time_to_lvd_s"].asDouble();
                    break;
                }
            const double true_s = rows.back()["battery"]["time_to_lvd_s"].asDouble();
            if (first_s - true_s < 300.0) return false;
            const double runtime = est["runtime_s"].asDouble();
            EXPECT_NEAR(runtime, true_s, 0.10 * true_s);
            EXPECT_LE(runtime, prev);
            EXPECT_LE(est["runtime_low_s"].asDouble(), runtime);
            EXPECT_GE(est["runtime_high_s"].asDouble(), runtime);
            prev = runtime;
            return ++checked >= 20;
        },
        120);
    EXPECT_TRUE(done) << "last estimate " << est.toStyledString() << read_text(err);
    const auto metrics = client.Get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_NE(metrics->body.find("smdgw_battery_runtime_seconds{device=\"plant1\"} "),
              std::string::npos);
    EXPECT_NE(metrics->body.find("smdgw_battery_state{device=\"plant1\"} 3"), std::string::npos);
    // The status page's embedded state carries it for its battery line.
    const auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_NE(page->body.find("\"capacity_ah\""), std::string::npos);
    // The device list and the device carry it too.
    const auto list = client.Get("/api/v1/devices");
    ASSERT_TRUE(list);
    EXPECT_EQ(parse_json(list->body)[0]["battery"]["state"].asString(), "discharging");
    const auto none = client.Get("/api/v1/devices/nosuch/battery");
    ASSERT_TRUE(none);
    EXPECT_EQ(none->status, 404);
    sim.signal(SIGTERM);
    sim.wait(10);
    gw.signal(SIGTERM);
    EXPECT_EQ(gw.wait(30), 0);
}

// 50 Ah holding 35 at 50 A: about 26 minutes to the disconnect, some 70
// rounds. The estimate crosses 30 and then 20 minutes; mains returns at
// round 150, before the disconnect. The discharge, from full and deeper than a
// fifth of the nameplate, teaches the capacity: 70 % of the nameplate.
TEST(BatteryE2e, RuntimeAlarmsRaisedBelowTheirThresholdsAndClearedByMains) {
    TempDir dir;
    PtyBridge line;
    const std::string out = (dir.path() / "gw.out").string();
    const std::string err = (dir.path() / "gw.err").string();
    Child gw({SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config",
              dir.write_s("gw.json",
                          R"({"devices":[{"name":"plant1","data_id":418,"address":1,"battery":)"
                          R"({"strings_ah":[50],"runtime_alarm_min":30,"runtime_critical_min":20}}]})"),
              "--log", (dir.path() / "driver.log").string(), "--port", line.end_b(),
              "--time-scale", kScale},
             out, err);
    Child sim({POWERSIM_PATH, "--port", line.end_a(), "--realtime", "--time-scale", kScale,
               "--rounds", "0", "--battery-ah", "50", "--battery-strings", "1", "--battery-fade",
               "0.3", "--fault", "load:50@1-", "--fault", "mains-fail:1@100-150", "--fault",
               "mains-fail:2@100-150"},
              (dir.path() / "sim.out").string(), (dir.path() / "sim.err").string());
    // The battery's alarm events in order: "alarm_id state".
    std::vector<std::string> seen;
    std::vector<Json::Value> raised_critical;
    std::string capacity_message;
    auto collect = [&] {
        seen.clear();
        raised_critical.clear();
        for (const auto& a : testsupport::events(json_lines(read_text(out)), "alarm")) {
            const std::string id = a["alarm_id"].asString();
            if (id.rfind("smdgw-battery-", 0) != 0) continue;
            seen.push_back(id + " " + a["state"].asString());
            if (id == "smdgw-battery-critical" && a["state"].asString() == "raised")
                raised_critical.push_back(a);
            if (id == "smdgw-battery-capacity") capacity_message = a["message"].asString();
        }
        return std::find(seen.begin(), seen.end(), "smdgw-battery-capacity raised") != seen.end();
    };
    EXPECT_TRUE(wait_until(collect, 120)) << read_text(err);
    sim.signal(SIGTERM);
    sim.wait(10);
    gw.signal(SIGTERM);
    EXPECT_EQ(gw.wait(30), 0);
    collect();
    const std::vector<std::string> expected = {
        "smdgw-battery-discharging raised", "smdgw-battery-runtime raised",
        "smdgw-battery-critical raised",    "smdgw-battery-discharging cleared",
        "smdgw-battery-runtime cleared",    "smdgw-battery-critical cleared",
        "smdgw-battery-capacity raised"};
    EXPECT_EQ(seen, expected) << read_text(out);
    // Learned within 5 % of the true 35 Ah.
    int learned = 0;
    EXPECT_EQ(std::sscanf(capacity_message.c_str(), "learned capacity %d Ah of 50 Ah", &learned), 1)
        << capacity_message;
    EXPECT_NEAR(learned, 35, 2) << capacity_message;
    ASSERT_EQ(raised_critical.size(), 1u);
    const Json::Value& a = raised_critical[0];
    EXPECT_EQ(a["level"].asInt(), 1);
    EXPECT_LT(std::stoi(a["value"].asString()), 20);
    EXPECT_EQ(a["message"].asString().rfind("on battery, ", 0), 0u) << a.toStyledString();
    EXPECT_NE(a["message"].asString().find(" min left at 50 A"), std::string::npos)
        << a.toStyledString();
    // The JSON lines' records carry the estimate, as MQTT's do: discharging
    // with a time left while on battery.
    size_t discharging = 0;
    for (const auto& r : testsupport::events(json_lines(read_text(out)), "record"))
        if (r["battery"]["state"] == "discharging" && r["battery"]["runtime_s"].isNumeric())
            ++discharging;
    EXPECT_GT(discharging, 0u) << "no record line carried the battery on discharge";
}

}  // namespace
