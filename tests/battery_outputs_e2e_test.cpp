// The battery estimate where smdgw writes it besides the API: smdgw follows
// powersim's plant through a mains failure on scaled time, publishes to a
// real Mosquitto broker (full and compact records) and keeps a history. Every
// record of the battery's device carries "battery" with the HTTP API's
// members; it turns to "discharging" when the strings take the load, the time
// left falls while the load holds, and the last record says what the API says
// once the line is quiet. The history's battery fields, asked for over HTTP,
// hold the records' figures round by round; the text view on standard output
// has the battery line of each block.

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <iostream>
#include <string>
#include <vector>

#include "tests/support/mqtt_broker.h"
#include "tests/support/pty_bridge.h"
#include "tests/support/run_process.h"
#include "tests/support/smdgw_run.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace {

using testsupport::Child;
using testsupport::MosquittoBroker;
using testsupport::MqttMessage;
using testsupport::MqttSubscriber;
using testsupport::parse_json;
using testsupport::PtyBridge;
using testsupport::read_text;
using testsupport::TempDir;
using testsupport::wait_until;

constexpr double kWait = 60.0;  // a safety net: the run takes some seconds
const char* const kConfig =
    R"({"devices":[{"name":"plant1","data_id":418,"address":1,)"
    R"("battery":{"strings_ah":[200],"temperature_value":0}}]})";

// The battery member of every record that reached the broker, in order.
std::vector<Json::Value> batteries(const std::vector<MqttMessage>& msgs) {
    std::vector<Json::Value> out;
    for (const MqttMessage& m : msgs)
        if (m.topic == "site/plant1/record") out.push_back(m.json()["battery"]);
    return out;
}

class BatteryOutputs : public ::testing::TestWithParam<const char*> {};

TEST_P(BatteryOutputs, RecordsHistoryAndTextFollowAMainsFailure) {
    const std::string payload = GetParam();
    TempDir dir;
    MosquittoBroker broker(dir.path().string());
    ASSERT_TRUE(broker.start()) << broker.log();
    MqttSubscriber sub(broker.port(), "test-sub", "site/#");
    ASSERT_TRUE(sub.subscribed());
    PtyBridge line;
    const std::string out = (dir.path() / "gw.out").string();
    const std::string err = (dir.path() / "gw.err").string();
    Child gw({SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config", dir.write_s("gw.json", kConfig),
              "--log", (dir.path() / "driver.log").string(), "--port", line.end_b(), "--http",
              "127.0.0.1:0", "--time-scale", "120", "--mqtt", broker.url(), "--mqtt-outbox",
              (dir.path() / "outbox.db").string(), "--mqtt-prefix", "site", "--mqtt-payload",
              payload, "--format", "text", "--history", (dir.path() / "history.db").string(),
              "--history-commit-s", "0"},
             out, err);
    int port = 0;
    ASSERT_TRUE(wait_until(
        [&] { return (port = testsupport::served_http_port(read_text(err))) != 0; }, kWait))
        << read_text(err);
    // 200 Ah at 50 A; mains fails from round 4 and stays away.
    Child sim({POWERSIM_PATH, "--port", line.end_a(), "--realtime", "--time-scale", "120",
               "--rounds", "40", "--battery-ah", "200", "--battery-strings", "1", "--fault",
               "load:50@1-", "--fault", "mains-fail:1@4-", "--fault", "mains-fail:2@4-"},
              (dir.path() / "sim.out").string(), (dir.path() / "sim.err").string());
    ASSERT_EQ(sim.wait(kWait), 0) << read_text((dir.path() / "sim.err").string());

    // Once the line is quiet the last record says what the API says.
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(10, 0);
    Json::Value api;
    const bool settled = wait_until(
        [&] {
            const auto r = client.Get("/api/v1/devices/plant1/battery");
            if (!r || r->status != 200) return false;
            api = parse_json(r->body);
            const auto seen = batteries(sub.messages());
            return !seen.empty() && seen.back() == api;
        },
        kWait);
    const std::vector<Json::Value> seen = batteries(sub.messages());
    ASSERT_TRUE(settled) << "API " << api.toStyledString() << "last record "
                         << (seen.empty() ? Json::Value() : seen.back()).toStyledString();
    EXPECT_EQ(api["state"].asString(), "discharging");
    // In the form asked for.
    const Json::Value last = sub.on("site/plant1/record").back().json();
    EXPECT_EQ(last.isMember("compact"), payload == "compact");
    EXPECT_EQ(last.isMember("record"), payload == "full");

    // Not on battery at first, then on battery with the time left falling.
    ASSERT_GE(seen.size(), 20u);
    EXPECT_NE(seen.front()["state"].asString(), "discharging") << seen.front().toStyledString();
    std::vector<double> runtimes;
    for (const Json::Value& b : seen) {
        ASSERT_TRUE(b.isObject());
        if (b["state"] == "discharging" && b["runtime_s"].isDouble())
            runtimes.push_back(b["runtime_s"].asDouble());
    }
    ASSERT_GE(runtimes.size(), 5u);
    for (size_t k = 1; k < runtimes.size(); ++k)
        EXPECT_LE(runtimes[k], runtimes[k - 1]) << "record " << k << " of the discharge";
    EXPECT_LT(runtimes.back(), runtimes.front());
    std::cout << "[ figures  ] " << payload << ": " << seen.size() << " records, "
              << runtimes.size() << " on battery with a time left, " << runtimes.front()
              << " s falling to " << runtimes.back() << " s\n";
    EXPECT_LT(seen.back()["current_a"].asDouble(), -40.0);
    EXPECT_EQ(seen.back()["capacity_ah"].asDouble(), 200.0);
    EXPECT_TRUE(seen.back()["temperature_c"].isDouble());

    // The history: each round's state and time left, as its record had them.
    std::vector<double> stored;
    ASSERT_TRUE(wait_until(
        [&] {
            const auto r = client.Get(
                "/api/v1/devices/plant1/history?fields=battery.state,battery.runtime_s");
            if (!r || r->status != 200) return false;
            const Json::Value h = parse_json(r->body);
            if (h["rows"].size() < seen.size()) return false;
            stored.clear();
            for (const Json::Value& row : h["rows"])
                if (row[1].asDouble() == 3.0 && row[2].isDouble())
                    stored.push_back(row[2].asDouble());
            return true;
        },
        kWait));
    ASSERT_EQ(stored.size(), runtimes.size());
    for (size_t k = 0; k < stored.size(); ++k)
        EXPECT_NEAR(stored[k], runtimes[k], 1e-6 * runtimes[k]) << "round " << k;

    gw.signal(SIGTERM);
    EXPECT_EQ(gw.wait(30), 0) << read_text(err);
    // The text view: the battery line before the mains failure, then on
    // battery with the minutes left.
    const std::string text = read_text(out);
    const size_t first_float = text.find("\n  BATT   Battery ");
    const size_t on_battery = text.find("\n  BATT   ON BATTERY since ");
    EXPECT_NE(first_float, std::string::npos) << text;
    EXPECT_LT(first_float, on_battery) << text;
    EXPECT_NE(text.find(" min left (", on_battery), std::string::npos) << text;
    EXPECT_NE(text.find(" 200 Ah nameplate", on_battery), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(Payloads, BatteryOutputs, ::testing::Values("full", "compact"));

}  // namespace
