// The promise that a message leaves smdgw's outbox only on its PUBACK: the
// broker is frozen (SIGSTOP) with a gateway connected, rounds come, smdgw
// hands their records to the connection, and is killed (SIGKILL) before any
// PUBACK could come. The records are still in the outbox; after a restart,
// with the broker thawed, every one of them arrives.

#include <gtest/gtest.h>
#include <json/value.h>
#include <signal.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/mqtt_broker.h"
#include "tests/support/powersim_feed.h"
#include "tests/support/pty_bridge.h"
#include "tests/support/run_process.h"
#include "tests/support/sql_text.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::Child;
using testsupport::MosquittoBroker;
using testsupport::MqttMessage;
using testsupport::MqttSubscriber;
using testsupport::PtyBridge;
using testsupport::read_text;
using testsupport::TempDir;

constexpr double kWait = 30.0;  // a safety net, never pacing
const std::string kDemo = std::string(SOURCE_DIR) + "/examples/demo.json";

double sample(const std::string& text, const std::string& name) {
    const size_t at = text.find("\n" + name + " ");
    return at == std::string::npos ? -1 : std::stod(text.substr(at + name.size() + 2));
}

std::set<int64_t> record_seqs(const std::vector<MqttMessage>& msgs, const std::string& topic) {
    std::set<int64_t> seqs;
    for (const MqttMessage& m : msgs)
        if (m.topic == topic) seqs.insert(m.json()["pub_seq"].asInt64());
    return seqs;
}

TEST(MqttPubackPromise, MessagesHandedToAFrozenBrokerSurviveAKillAndArriveAfterTheRestart) {
    TempDir dir;
    const std::string d = dir.path().string();
    MosquittoBroker broker(d);
    ASSERT_TRUE(broker.start()) << broker.log();
    MqttSubscriber sub(broker.port(), "test-sub", "smdgw/#");
    ASSERT_TRUE(sub.subscribed());
    PtyBridge line;
    const std::string prom = d + "/gw.prom", outbox = d + "/outbox.db";
    const std::string topic = "smdgw/gwp/plant1/record";
    const auto start = [&](const std::string& tag) {
        return std::make_unique<Child>(
            std::vector<std::string>{SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config", kDemo,
                                     "--log", d + "/" + tag + ".log", "--port", line.end_b(),
                                     "--mqtt", broker.url(), "--mqtt-outbox", outbox,
                                     "--gateway-id", "gwp", "--mqtt-reconnect-max", "1",
                                     "--prometheus", prom, "--prometheus-interval", "0"},
            d + "/" + tag + ".out", d + "/" + tag + ".err");
    };
    std::string err;
    auto gw = start("a");
    ASSERT_TRUE(testsupport::feed_rounds(line, "1", "3", {}, &err)) << err;
    ASSERT_TRUE(sub.wait_for(
        [&](const std::vector<MqttMessage>& msgs) { return record_seqs(msgs, topic).count(1); },
        kWait))
        << read_text(d + "/a.err");

    // Frozen: whatever smdgw sends now, no PUBACK can come back.
    broker.freeze();
    ASSERT_TRUE(testsupport::feed_rounds(line, "5", "4", {}, &err)) << err;
    std::string text;
    for (int i = 0; i < 400; ++i) {
        text = read_text(prom);
        // Handed to the connection: the five records and the state "live" at least.
        if (sample(text, "smdgw_mqtt_messages_sent_total") -
                sample(text, "smdgw_mqtt_messages_acknowledged_total") >= 5)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        if (i % 40 == 39) {
            ASSERT_TRUE(testsupport::feed_rounds(line, "1", "5", {}, &err)) << err;
        }
    }
    ASSERT_GE(sample(text, "smdgw_mqtt_messages_sent_total") -
                  sample(text, "smdgw_mqtt_messages_acknowledged_total"),
              5)
        << text;
    gw->signal(SIGKILL);
    gw->wait(kWait);
    // The handed records are still in the outbox.
    const std::string kept = testsupport::sql_text(
        outbox, "SELECT count(*) FROM mqtt_outbox WHERE target = '" + topic + "'");
    ASSERT_GE(std::stoi("0" + kept), 5);
    const int64_t last = std::stoll("0" + testsupport::sql_text(
                                              outbox, "SELECT max(json_extract(payload, "
                                                      "'$.pub_seq')) FROM mqtt_outbox WHERE "
                                                      "target = '" + topic + "'"));

    auto gw2 = start("b");
    broker.thaw();
    EXPECT_TRUE(sub.wait_for(
        [&](const std::vector<MqttMessage>& msgs) {
            const auto seqs = record_seqs(msgs, topic);
            return !seqs.empty() && *seqs.rbegin() == last &&
                   seqs.size() == static_cast<size_t>(last);
        },
        kWait))
        << read_text(d + "/b.err");
    gw2->signal(SIGTERM);
    EXPECT_EQ(gw2->wait(kWait), 0);
    EXPECT_EQ(testsupport::sql_text(outbox, "SELECT count(*) FROM mqtt_outbox"), "0");
}

}  // namespace
