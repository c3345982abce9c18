// smdgw publishing to a real Mosquitto broker while it follows powersim over
// a pseudo-terminal: rounds, alarms and states on their topics with
// consecutive pub_seq; a broker stopped and started again, and a gateway
// killed with SIGKILL during the outage, lose nothing and keep the order; the
// broker's last will says "offline" for a killed gateway.

#include <gtest/gtest.h>
#include <json/value.h>
#include <json/writer.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/mqtt_broker.h"
#include "tests/support/powersim_feed.h"
#include "tests/support/pty_bridge.h"
#include "tests/support/run_process.h"
#include "tests/support/smdgw_run.h"
#include "tests/support/sql_text.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::Child;
using testsupport::events;
using testsupport::json_lines;
using testsupport::MosquittoBroker;
using testsupport::MqttMessage;
using testsupport::MqttSubscriber;
using testsupport::PtyBridge;
using testsupport::read_text;
using testsupport::run_process;
using testsupport::TempDir;

// Safety nets, never pacing: every wait here ends in a second or two.
constexpr double kWait = 30.0;
const std::string kDemo = std::string(SOURCE_DIR) + "/examples/demo.json";

// The pub_seq of each message in arrival order, repeats (at-least-once
// delivery) left out; a number that arrives after a higher one without being
// a repeat is named in `problems`.
struct Delivery {
    std::vector<int64_t> seqs;
    std::vector<std::string> problems;
};

Delivery delivered(const std::vector<MqttMessage>& msgs) {
    Delivery d;
    std::set<int64_t> seen;
    int64_t high = 0;
    for (const MqttMessage& m : msgs) {
        const int64_t seq = m.json()["pub_seq"].asInt64();
        if (seq <= high) {
            if (!seen.count(seq))
                d.problems.push_back("pub_seq " + std::to_string(seq) + " of " + m.topic +
                                     " arrived after " + std::to_string(high));
            continue;
        }
        seen.insert(seq);
        high = seq;
        d.seqs.push_back(seq);
    }
    return d;
}

std::vector<int64_t> one_to(int64_t n) {
    std::vector<int64_t> v;
    for (int64_t i = 1; i <= n; ++i) v.push_back(i);
    return v;
}

// The payload of the message with this pub_seq (the first copy).
Json::Value with_seq(const std::vector<MqttMessage>& msgs, int64_t seq) {
    for (const MqttMessage& m : msgs)
        if (m.json()["pub_seq"].asInt64() == seq) return m.json();
    return Json::Value();
}

std::vector<MqttMessage> on_topic(const std::vector<MqttMessage>& msgs, const std::string& topic) {
    std::vector<MqttMessage> out;
    for (const MqttMessage& m : msgs)
        if (m.topic == topic) out.push_back(m);
    return out;
}

void feed(const PtyBridge& line, const std::string& rounds, const std::string& seed,
          std::vector<std::string> extra = {}) {
    std::string err;
    ASSERT_TRUE(testsupport::feed_rounds(line, rounds, seed, extra, &err)) << err;
}

// Waits until a count from the database is what `done` wants.
bool count_until(const std::string& db, const std::string& sql,
                 const std::function<bool(int)>& done) {
    for (int i = 0; i < 600; ++i) {
        const std::string n = testsupport::sql_text(db, sql);
        if (!n.empty() && done(std::stoi(n))) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// Waits until the outbox holds records with a pub_seq above `above`.
bool queued_records(const std::string& outbox, int above, int count) {
    return count_until(outbox,
                       "SELECT count(*) FROM mqtt_outbox WHERE target LIKE '%/record' AND "
                       "json_extract(payload, '$.pub_seq') > " + std::to_string(above),
                       [&](int n) { return n == count; });
}

// Waits until the history holds at least this many rounds.
bool stored_rounds(const std::string& db, int count) {
    return count_until(db, "SELECT count(*) FROM history", [&](int n) { return n >= count; });
}

std::vector<std::string> gateway_args(const TempDir& dir, const std::string& tag,
                                      const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config", kDemo,
                                     "--log", (dir.path() / (tag + ".log")).string()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}

const std::regex kIsoTime(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)");

TEST(MqttPublish, RoundsAlarmsStatesAndStatusReachTheBroker) {
    TempDir dir;
    MosquittoBroker broker(dir.path().string());
    ASSERT_TRUE(broker.start()) << broker.log();
    MqttSubscriber sub(broker.port(), "test-sub", "smdgw/#");
    ASSERT_TRUE(sub.subscribed());
    PtyBridge line;
    // A gateway ID with a '/' shows the topic level encoded.
    const std::string prefix = "smdgw/site%2F7";
    const std::string out = (dir.path() / "gw.out").string(), err = (dir.path() / "gw.err").string();
    const std::string prom = (dir.path() / "smdgw.prom").string();
    Child gw(gateway_args(dir, "gw",
                          {"--port", line.end_b(), "--count", "5", "--prometheus", prom,
                           "--mqtt", broker.url(),
                           "--mqtt-outbox", (dir.path() / "outbox.db").string(), "--gateway-id",
                           "site/7"}),
             out, err);
    feed(line, "5", "3", {"--fault", "breaker-trip:1@2-3"});
    ASSERT_EQ(gw.wait(kWait), 0) << read_text(err);
    ASSERT_TRUE(sub.wait_for(
        [&](const std::vector<MqttMessage>& msgs) {
            return !msgs.empty() && msgs.back().topic == prefix + "/status" &&
                   msgs.back().payload == "offline";
        },
        kWait))
        << read_text(err);

    // Every round, in order, as the JSON output wrote it plus the three fields.
    const auto lines = json_lines(read_text(out));
    const auto records = events(lines, "record");
    ASSERT_EQ(records.size(), 5u);
    const auto rec_msgs = sub.on(prefix + "/plant1/record");
    const Delivery d = delivered(rec_msgs);
    EXPECT_EQ(d.seqs, one_to(5));
    EXPECT_TRUE(d.problems.empty()) << d.problems.front();
    const std::string boot = with_seq(rec_msgs, 1)["boot_id"].asString();
    EXPECT_TRUE(std::regex_match(boot, std::regex("[0-9a-f]{32}"))) << boot;
    for (int64_t k = 1; k <= 5; ++k) {
        Json::Value p = with_seq(rec_msgs, k);
        EXPECT_EQ(p["boot_id"].asString(), boot);
        EXPECT_TRUE(std::regex_match(p["time"].asString(), kIsoTime)) << p["time"].asString();
        p.removeMember("pub_seq");
        p.removeMember("boot_id");
        p.removeMember("time");
        EXPECT_EQ(p, records[static_cast<size_t>(k - 1)]) << "record " << k;
    }

    // The raise and the clear, and the retained list after each.
    const auto alarm_events = events(lines, "alarm");
    ASSERT_EQ(alarm_events.size(), 2u);
    const auto alarm_msgs = sub.on(prefix + "/plant1/alarm");
    ASSERT_EQ(delivered(alarm_msgs).seqs, one_to(2));
    EXPECT_EQ(with_seq(alarm_msgs, 1)["state"].asString(), "raised");
    EXPECT_EQ(with_seq(alarm_msgs, 2)["state"].asString(), "cleared");
    const std::string alarm_id = alarm_events[0]["alarm_id"].asString();
    EXPECT_EQ(with_seq(alarm_msgs, 1)["alarm_id"].asString(), alarm_id);
    EXPECT_EQ(with_seq(alarm_msgs, 1)["message"], alarm_events[0]["message"]);
    // The plant's message is Chinese; its English meaning travels beside it.
    EXPECT_FALSE(alarm_events[0]["english"].asString().empty());
    EXPECT_EQ(with_seq(alarm_msgs, 1)["english"], alarm_events[0]["english"]);
    const auto lists = sub.on(prefix + "/plant1/alarms");
    ASSERT_EQ(delivered(lists).seqs, one_to(2));
    ASSERT_EQ(with_seq(lists, 1)["alarms"].size(), 1u);
    EXPECT_EQ(with_seq(lists, 1)["alarms"][0]["alarm_id"].asString(), alarm_id);
    EXPECT_EQ(with_seq(lists, 1)["alarms"][0]["english"], alarm_events[0]["english"]);
    // Named exactly, for acknowledging it; nobody's yet.
    const Json::Value listed = with_seq(lists, 1)["alarms"][0];
    EXPECT_EQ(listed["id"].asString(), "plant1." + listed["key"].asString() + "." + alarm_id +
                                           "." + listed["seq"].asString());
    EXPECT_TRUE(listed.isMember("acknowledged") && listed["acknowledged"].isNull());
    EXPECT_EQ(with_seq(lists, 2)["alarms"].size(), 0u);

    // States: none yet, then live.
    const auto states = sub.on(prefix + "/plant1/state");
    ASSERT_EQ(delivered(states).seqs, one_to(2));
    EXPECT_EQ(with_seq(states, 1)["state"].asString(), "never");
    EXPECT_EQ(with_seq(states, 2)["state"].asString(), "live");

    const auto status = sub.on(prefix + "/status");
    ASSERT_GE(status.size(), 2u);
    EXPECT_EQ(status.front().payload, "online");

    // A consumer that comes later sees the latest of every retained topic at once.
    MqttSubscriber late(broker.port(), "test-late", prefix + "/#");
    ASSERT_TRUE(late.wait_for(
        [](const std::vector<MqttMessage>& msgs) { return msgs.size() >= 4; }, kWait));
    std::map<std::string, MqttMessage> retained;
    for (const MqttMessage& m : late.messages()) {
        EXPECT_TRUE(m.retain) << m.topic;
        retained[m.topic] = m;
    }
    EXPECT_EQ(retained[prefix + "/status"].payload, "offline");
    EXPECT_EQ(retained[prefix + "/plant1/record"].json()["pub_seq"].asInt(), 5);
    EXPECT_EQ(retained[prefix + "/plant1/alarms"].json()["alarms"].size(), 0u);
    EXPECT_EQ(retained[prefix + "/plant1/state"].json()["state"].asString(), "live");
    EXPECT_EQ(retained.count(prefix + "/plant1/alarm"), 0u);

    // The gateway's own account: everything queued was acknowledged.
    Json::Value stats;
    for (const auto& l : lines)
        if (l["event"].asString() == "stats" && l["service"].asString() == "mqtt") stats = l;
    ASSERT_TRUE(stats.isObject()) << read_text(out);
    EXPECT_EQ(stats["queued"].asUInt64(), 11u);  // 5 records, 2 alarms, 2 lists, 2 states
    EXPECT_EQ(stats["acknowledged"].asUInt64(), 11u);
    EXPECT_EQ(stats["outbox_messages"].asUInt64(), 0u);
    EXPECT_EQ(stats["dropped"].asUInt64(), 0u);

    // The same figures for Prometheus, in a file its own checker accepts.
    const std::string text = read_text(prom);
    EXPECT_NE(text.find("\nsmdgw_mqtt_messages_acknowledged_total 11\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("\nsmdgw_mqtt_outbox_bytes 0\n"), std::string::npos) << text;
    // Exit status 3: only lint remarks (about the device metrics' unit names).
    const auto check = run_process({"/bin/sh", "-c", "/usr/bin/promtool check metrics < " + prom});
    EXPECT_TRUE(check.status == 0 || check.status == 3) << check.out << check.err;
    EXPECT_EQ((check.out + check.err).find("smdgw_mqtt"), std::string::npos) << check.err;
}

// A broker whose access list denies the records' topic refuses each record
// (MQTT 5 "not authorised"): each is counted and dropped at once, and none
// holds back the alarms behind it, which arrive in order; nothing is left.
TEST(MqttPublish, MessagesTheBrokerRefusesAreDroppedAndHoldNothingBack) {
    TempDir dir;
    const std::string acl = (dir.path() / "acl").string();
    std::ofstream(acl) << "topic deny smdgw/site-r/plant1/record\ntopic readwrite #\n";
    MosquittoBroker broker(dir.path().string(), "acl_file " + acl + "\n");
    ASSERT_TRUE(broker.start()) << broker.log();
    MqttSubscriber sub(broker.port(), "test-sub", "smdgw/#");
    ASSERT_TRUE(sub.subscribed());
    PtyBridge line;
    const std::string out = (dir.path() / "gw.out").string(), err = (dir.path() / "gw.err").string();
    Child gw(gateway_args(dir, "gw",
                          {"--port", line.end_b(), "--count", "5", "--mqtt", broker.url(),
                           "--mqtt-outbox", (dir.path() / "outbox.db").string(), "--gateway-id",
                           "site-r"}),
             out, err);
    feed(line, "5", "3", {"--fault", "breaker-trip:1@2-3"});
    ASSERT_EQ(gw.wait(kWait), 0) << read_text(err);
    ASSERT_TRUE(sub.wait_for(
        [](const std::vector<MqttMessage>& msgs) {
            return !msgs.empty() && msgs.back().topic == "smdgw/site-r/status" &&
                   msgs.back().payload == "offline";
        },
        kWait))
        << read_text(err);
    EXPECT_EQ(delivered(sub.on("smdgw/site-r/plant1/alarm")).seqs, one_to(2));
    EXPECT_TRUE(sub.on("smdgw/site-r/plant1/record").empty());
    Json::Value stats;
    for (const auto& l : json_lines(read_text(out)))
        if (l["service"].asString() == "mqtt") stats = l;
    EXPECT_EQ(stats["refused"].asUInt64(), 5u) << stats;
    EXPECT_EQ(stats["outbox_messages"].asUInt64(), 0u) << stats;
    EXPECT_NE(read_text(err).find("refused a message for good (\"smdgw/site-r/plant1/record\": "
                                  "the broker said: Not authorized); it is dropped"),
              std::string::npos)
        << read_text(err);
}

TEST(MqttPublish, TwoGatewaysWithOneIdAreToldTheyTakeTheConnectionFromEachOther) {
    TempDir dir;
    MosquittoBroker broker(dir.path().string());
    ASSERT_TRUE(broker.start()) << broker.log();
    PtyBridge line_a, line_b;
    std::vector<std::unique_ptr<Child>> gws;
    for (const auto* line : {&line_a, &line_b}) {
        const std::string tag = "gw" + std::to_string(gws.size());
        gws.push_back(std::make_unique<Child>(
            gateway_args(dir, tag,
                         {"--port", line->end_b(), "--mqtt", broker.url(), "--mqtt-outbox",
                          (dir.path() / (tag + ".db")).string(), "--gateway-id", "twin",
                          "--mqtt-reconnect-max", "1", "--stats-interval", "1"}),
            (dir.path() / (tag + ".out")).string(), (dir.path() / (tag + ".err")).string()));
    }
    const std::string says = "another client took the connection over with the client ID \"twin\"";
    bool told = false;
    for (int i = 0; i < 400 && !told; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (const char* tag : {"gw0", "gw1"})
            told = told || read_text((dir.path() / (std::string(tag) + ".err")).string())
                                   .find(says) != std::string::npos;
    }
    EXPECT_TRUE(told) << read_text((dir.path() / "gw0.err").string());
    // The service's statistics come with the devices' every --stats-interval.
    const std::string gw0_out = (dir.path() / "gw0.out").string();
    bool periodic = false;
    for (int i = 0; i < 200 && !periodic; ++i) {
        periodic = read_text(gw0_out).find(R"("service":"mqtt")") != std::string::npos;
        if (!periodic) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(periodic) << read_text(gw0_out);
    for (auto& gw : gws) {
        gw->signal(SIGTERM);
        EXPECT_EQ(gw->wait(kWait), 0);
    }
    size_t takeovers = 0;
    for (const char* tag : {"gw0", "gw1"})
        for (const auto& l : json_lines(read_text((dir.path() / (std::string(tag) + ".out")).string())))
            if (l["service"].asString() == "mqtt") takeovers += l["takeovers"].asUInt64();
    EXPECT_GE(takeovers, 3u);
}

TEST(MqttOutage, BrokerDownAndGatewayKilledLoseNothingAndKeepTheOrder) {
    TempDir dir;
    MosquittoBroker broker((dir.path()).string());
    ASSERT_TRUE(broker.start()) << broker.log();
    MqttSubscriber sub(broker.port(), "test-sub", "smdgw/#");
    ASSERT_TRUE(sub.subscribed());
    PtyBridge line;
    // The outbox shares the history's database; the restart restores the
    // last round from it, which is no new record.
    const std::string outbox = (dir.path() / "history.db").string();
    const std::string prefix = "smdgw/gw2";
    const std::string records = prefix + "/plant1/record";
    auto start_gateway = [&](const std::string& tag) {
        return std::make_unique<Child>(
            gateway_args(dir, tag,
                         {"--port", line.end_b(), "--mqtt", broker.url(), "--history", outbox,
                          "--history-commit-s", "0", "--gateway-id", "gw2",
                          "--mqtt-reconnect-max", "1"}),
            (dir.path() / (tag + ".out")).string(), (dir.path() / (tag + ".err")).string());
    };
    auto got_records = [&](size_t n) {
        return sub.wait_for(
            [&](const std::vector<MqttMessage>& msgs) {
                return delivered(on_topic(msgs, records)).seqs.size() >= n;
            },
            kWait);
    };
    auto status_is = [&](const std::string& s) {
        return sub.wait_for(
            [&](const std::vector<MqttMessage>& msgs) {
                const auto st = on_topic(msgs, prefix + "/status");
                return !st.empty() && st.back().payload == s;
            },
            kWait);
    };

    auto gw = start_gateway("first");
    ASSERT_TRUE(status_is("online"));
    feed(line, "3", "11");
    ASSERT_TRUE(got_records(3)) << read_text((dir.path() / "first.err").string());

    // The uplink fails: the gateway keeps following the line and queues; an
    // alarm is raised meanwhile.
    broker.stop();
    feed(line, "3", "12", {"--fault", "breaker-trip:1@2-3"});
    ASSERT_TRUE(queued_records(outbox, 3, 3));
    ASSERT_TRUE(broker.start()) << broker.log();
    ASSERT_TRUE(got_records(6)) << read_text((dir.path() / "first.err").string());
    // One line when the connection went (with the reason, not a library
    // code read as an MQTT reason), one when it came back (with the outage's
    // length and the backlog), nothing for the retries between.
    {
        const std::string said = read_text((dir.path() / "first.err").string());
        size_t lines = 0;
        for (size_t at = said.find("smdgw: mqtt:"); at != std::string::npos;
             at = said.find("smdgw: mqtt:", at + 1))
            ++lines;
        EXPECT_EQ(lines, 3u) << said;  // connected, lost, back
        EXPECT_NE(said.find(": connection lost: "), std::string::npos) << said;
        EXPECT_EQ(said.find("Unknown reason"), std::string::npos) << said;
        EXPECT_TRUE(std::regex_search(
            said, std::regex(R"(connected to [^\n]* after \d+\.\d s without the broker \(\d+ attempts?\), \d+ messages? \(\d+ bytes\) waiting)")))
            << said;
    }

    // Down again; the alarm clears; the gateway is killed during the outage
    // and started again after the broker is back.
    broker.stop();
    feed(line, "3", "13");
    ASSERT_TRUE(queued_records(outbox, 6, 3));
    // The history commits on its own thread: were the clear not yet stored
    // with the rounds, the restart would restore the alarm and rightly say
    // "cleared" a second time.
    ASSERT_TRUE(stored_rounds(outbox, 9));
    gw->signal(SIGKILL);
    gw->wait(kWait);
    ASSERT_TRUE(broker.start()) << broker.log();
    gw = start_gateway("second");
    ASSERT_TRUE(got_records(9)) << read_text((dir.path() / "second.err").string());
    feed(line, "2", "14");
    ASSERT_TRUE(got_records(11)) << read_text((dir.path() / "second.err").string());

    // Killed while connected: the broker's last will says so.
    ASSERT_TRUE(status_is("online"));
    gw->signal(SIGKILL);
    gw->wait(kWait);
    EXPECT_TRUE(status_is("offline"));

    const auto rec_msgs = sub.on(records);
    const Delivery d = delivered(rec_msgs);
    EXPECT_EQ(d.seqs, one_to(11));
    for (const auto& p : d.problems) ADD_FAILURE() << p;
    // Records 7 to 9 were queued by the first process and sent by the second.
    const std::string first_boot = with_seq(rec_msgs, 1)["boot_id"].asString();
    EXPECT_EQ(with_seq(rec_msgs, 9)["boot_id"].asString(), first_boot);
    EXPECT_NE(with_seq(rec_msgs, 10)["boot_id"].asString(), first_boot);

    const auto alarm_msgs = sub.on(prefix + "/plant1/alarm");
    const Delivery a = delivered(alarm_msgs);
    std::string alarm_payloads;
    for (const MqttMessage& m : alarm_msgs) alarm_payloads += m.payload + "\n";
    ASSERT_EQ(a.seqs, one_to(2)) << alarm_payloads;
    EXPECT_EQ(with_seq(alarm_msgs, 1)["state"].asString(), "raised");
    EXPECT_EQ(with_seq(alarm_msgs, 2)["state"].asString(), "cleared");
    const auto lists = sub.on(prefix + "/plant1/alarms");
    EXPECT_EQ(with_seq(lists, 2)["alarms"].size(), 0u);

    // The history writer shared the file all along.
    EXPECT_EQ(testsupport::sql_text(outbox, "PRAGMA integrity_check"), "ok");
    EXPECT_GE(std::stoi(testsupport::sql_text(outbox, "SELECT count(*) FROM history")), 6);
}

}  // namespace
