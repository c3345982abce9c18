// smdgw's outbox on a disk of its own that fills up (a tmpfs of a few MiB in
// a mount namespace the test makes; skipped with a message where it cannot),
// the broker down, powersim on a pseudo-terminal: the line is still followed,
// the alerts of docs/fleet.md fire (checked by promtool against the rules as
// the docs give them), SIGTERM ends smdgw within the drain time and its
// margin, and every record is either stored or counted as dropped. Then the
// broker comes back while the disk is still full: acknowledged messages are
// deleted, which makes room, every stored message arrives, every other one
// is announced by count, and the outbox empties. A second case keeps the
// outbox within --mqtt-outbox-max on a disk that could not hold more.

#include <gtest/gtest.h>
#include <json/value.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/mqtt_broker.h"
#include "tests/support/powersim_feed.h"
#include "tests/support/pty_bridge.h"
#include "tests/support/run_process.h"
#include "tests/support/small_disk.h"
#include "tests/support/smdgw_run.h"
#include "tests/support/sql_text.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::Child;
using testsupport::MosquittoBroker;
using testsupport::MqttMessage;
using testsupport::MqttSubscriber;
using testsupport::PtyBridge;
using testsupport::read_text;
using testsupport::run_process;
using testsupport::SmallDisk;
using testsupport::sql_text;
using testsupport::TempDir;

// Safety nets, never pacing.
constexpr double kWait = 60.0;
// The drain time of a stop and the margin the docs promise beyond it.
constexpr double kStopBound = 5.0 + 2.0;
const std::string kDemo = std::string(SOURCE_DIR) + "/examples/demo.json";

std::vector<std::string> gateway_args(const std::string& log, const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config", kDemo,
                                     "--log", log};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}

// A sample of the Prometheus text: "name{labels} value" -> value; -1 when absent.
double sample(const std::string& text, const std::string& series) {
    const std::string head = "\n" + series + " ";
    const size_t at = text.find(head);
    if (at == std::string::npos) return -1;
    return std::stod(text.substr(at + head.size()));
}

// The rules of docs/fleet.md's alerts, as the docs give them.
std::string documented_rules() {
    const std::string doc = read_text(std::string(SOURCE_DIR) + "/docs/fleet.md");
    const size_t begin = doc.find("```yaml\ngroups:");
    if (begin == std::string::npos) return "";
    const size_t end = doc.find("```\n", begin + 8);
    return doc.substr(begin + 8, end - begin - 8);
}

// promtool's rule tests: the gateway's own samples before the disk filled
// (`calm`) and while it was full (`full`), one a minute; the documented
// alerts about the outbox must fire, the one about the uplink must not.
void expect_alerts_fire(const TempDir& dir, const std::string& calm, const std::string& full) {
    const std::string rules = documented_rules();
    ASSERT_FALSE(rules.empty()) << "no ```yaml groups: block in docs/fleet.md";
    dir.write("alerts.yml", rules);
    const auto check = run_process({"/usr/bin/promtool", "check", "rules",
                                    (dir.path() / "alerts.yml").string()});
    ASSERT_EQ(check.status, 0) << check.out << check.err;
    std::string series;
    const auto add = [&](const std::string& name, const std::string& labels) {
        const std::string s = name + labels;
        const double a = sample(calm, s), b = sample(full, s);
        ASSERT_GE(a, 0) << s << " missing:\n" << calm;
        ASSERT_GE(b, 0) << s << " missing:\n" << full;
        series += "      - series: '" + name + "{instance=\"gw\"" +
                  (labels.empty() ? "" : "," + labels.substr(1, labels.size() - 2)) +
                  "}'\n        values: '" + std::to_string(a) + "x2 " + std::to_string(b) + "x30'\n";
    };
    for (const char* name :
         {"smdgw_mqtt_outbox_failing", "smdgw_mqtt_outbox_errors_total",
          "smdgw_mqtt_outbox_oldest_age_seconds", "smdgw_mqtt_outbox_disk_bytes",
          "smdgw_mqtt_outbox_max_bytes", "smdgw_mqtt_connected", "smdgw_mqtt_backlog_messages"})
        add(name, "");
    add("smdgw_mqtt_messages_dropped_total", "{kind=\"record\"}");
    const std::string test =
        "rule_files:\n  - alerts.yml\nevaluation_interval: 1m\ntests:\n  - interval: 1m\n"
        "    input_series:\n" + series +
        "    alert_rule_test:\n"
        "      - eval_time: 1m\n        alertname: SmdgwOutboxFailing\n        exp_alerts: []\n"
        "      - eval_time: 20m\n        alertname: SmdgwUplinkDown\n        exp_alerts: []\n";
    dir.write("alerts_test.yml", test);
    // The firing alerts are checked by name: their labels are the rules' business.
    const auto run = run_process({"/usr/bin/promtool", "test", "rules",
                                  (dir.path() / "alerts_test.yml").string()});
    EXPECT_EQ(run.status, 0) << run.out << run.err << test;
    for (const char* alert : {"SmdgwOutboxFailing", "SmdgwMessagesLost"}) {
        const std::string firing =
            "      - eval_time: 20m\n        alertname: " + std::string(alert) +
            "\n        exp_alerts: []\n";
        dir.write("alerts_firing.yml", "rule_files:\n  - alerts.yml\nevaluation_interval: 1m\n"
                                       "tests:\n  - interval: 1m\n    input_series:\n" +
                                           series + "    alert_rule_test:\n" + firing);
        // Expecting no alert must fail: the alert fires.
        const auto fires = run_process({"/usr/bin/promtool", "test", "rules",
                                        (dir.path() / "alerts_firing.yml").string()});
        EXPECT_NE(fires.status, 0) << alert << " does not fire:\n" << fires.out;
        const std::string said = fires.out + fires.err;
        EXPECT_NE(said.find(std::string("got:[\n") ), std::string::npos) << said;
        EXPECT_NE(said.find("alertname=\"" + std::string(alert) + "\""), std::string::npos) << said;
    }
}

// The records the gateway made: its JSON output has every round.
size_t records_made(const std::string& out_path) {
    return testsupport::events(testsupport::json_lines(read_text(out_path)), "record").size();
}

// A query on a copy of the outbox: reading it in place would need room on
// the full disk for SQLite's shared-memory file.
int64_t number(const TempDir& dir, const std::string& db, const std::string& sql) {
    const std::filesystem::path copy = dir.path() / "copy.db";
    const auto over = std::filesystem::copy_options::overwrite_existing;
    std::filesystem::copy_file(db, copy, over);
    std::error_code no_log;
    std::filesystem::remove(copy.string() + "-wal", no_log);
    if (std::filesystem::exists(db + "-wal"))
        std::filesystem::copy_file(db + "-wal", copy.string() + "-wal", over);
    const std::string text = sql_text(copy.string(), sql);
    return text.empty() ? 0 : std::stoll(text);
}

TEST(MqttDiskFull, TheLineGoesOnTheStopIsBoundedAndEveryRecordArrivesOrIsAnnounced) {
    TempDir dir;
    const std::string d = dir.path().string();
    SmallDisk disk(d + "/disk", 2 << 20);
    if (!disk.ok()) GTEST_SKIP() << disk.why();
    MosquittoBroker broker(d);  // down until the second part
    PtyBridge line;
    const std::string prom = d + "/gw.prom";
    const std::string outbox = disk.outside("outbox.db");
    const auto start = [&](const std::string& tag) {
        return std::make_unique<Child>(
            disk.inside(gateway_args(
                d + "/" + tag + ".log",
                {"--port", line.end_b(), "--mqtt", broker.url(), "--mqtt-outbox",
                 disk.inside_path("outbox.db"), "--gateway-id", "gwf", "--mqtt-reconnect-max",
                 "1", "--prometheus", prom, "--prometheus-interval", "0"})),
            d + "/" + tag + ".out", d + "/" + tag + ".err");
    };
    // Room for the outbox's tables, its reserve and log and a few dozen records.
    disk.fill("filler", 700 << 10);
    auto gw = start("a");
    // Forty modules: about 9 kB a record. The disk fills after a few dozen,
    // the memory backlog (4 MiB) after about 450 more; the rest is dropped.
    std::string err;
    ASSERT_TRUE(testsupport::feed_rounds(line, "3", "5", {"--modules", "40"}, &err)) << err;
    std::string calm;
    for (int i = 0; i < 200 && sample(calm, "smdgw_mqtt_outbox_messages") < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        calm = read_text(prom);
    }
    ASSERT_GE(sample(calm, "smdgw_mqtt_outbox_messages"), 3) << calm;
    ASSERT_TRUE(testsupport::feed_rounds(line, "700", "6", {"--modules", "40"}, &err)) << err;
    std::string full;
    for (int i = 0; i < 100; ++i) {
        full = read_text(prom);
        if (sample(full, "smdgw_mqtt_outbox_failing") == 1 &&
            sample(full, "smdgw_mqtt_messages_dropped_total{kind=\"record\"}") > 0)
            break;
        // The file is written after each round.
        ASSERT_TRUE(testsupport::feed_rounds(line, "2", "7", {"--modules", "40"}, &err)) << err;
    }
    EXPECT_EQ(sample(full, "smdgw_mqtt_outbox_failing"), 1) << full;
    EXPECT_GT(sample(full, "smdgw_mqtt_outbox_errors_total"), 0) << full;
    EXPECT_GT(sample(full, "smdgw_mqtt_backlog_messages"), 0) << full;
    expect_alerts_fire(dir, calm, full);
    // The line was followed throughout.
    const std::string gw_out = d + "/a.out";
    EXPECT_GE(records_made(gw_out), 700u);

    const auto sigterm = std::chrono::steady_clock::now();
    gw->signal(SIGTERM);
    EXPECT_EQ(gw->wait(kWait), 0);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - sigterm).count();
    EXPECT_LT(took, kStopBound);
    const std::string said = read_text(d + "/a.err");
    EXPECT_NE(said.find("could not be stored in this run"), std::string::npos) << said;
    EXPECT_NE(said.find("the count is in the outbox"), std::string::npos) << said;
    EXPECT_NE(said.find("remain in the outbox"), std::string::npos) << said;
    // Nothing unaccounted: each record is stored or counted.
    const size_t made = records_made(gw_out);
    const int64_t stored = number(dir, outbox, "SELECT count(*) FROM mqtt_outbox WHERE target LIKE '%/record'");
    const int64_t dropped = number(dir, outbox, "SELECT total FROM mqtt_drops WHERE kind = 'record'");
    EXPECT_GT(stored, 3);
    EXPECT_GT(dropped, 0);
    EXPECT_EQ(static_cast<size_t>(stored + dropped), made);
    // pub_seq is given at storage: the stored records are numbered without a gap.
    EXPECT_EQ(number(dir, outbox, "SELECT max(json_extract(payload, '$.pub_seq')) - "
                             "min(json_extract(payload, '$.pub_seq')) + 1 FROM mqtt_outbox "
                             "WHERE target LIKE '%/record'"),
              stored);

    // The broker is back, the disk still full: deletes make room.
    ASSERT_TRUE(broker.start()) << broker.log();
    MqttSubscriber sub(broker.port(), "test-sub", "smdgw/#");
    ASSERT_TRUE(sub.subscribed());
    auto gw2 = start("b");
    ASSERT_TRUE(testsupport::feed_rounds(line, "20", "8", {"--modules", "40"}, &err)) << err;
    const std::string records_topic = "smdgw/gwf/plant1/record";
    const auto unique_records = [&](const std::vector<MqttMessage>& msgs) {
        std::set<int64_t> seqs;
        for (const MqttMessage& m : msgs)
            if (m.topic == records_topic) seqs.insert(m.json()["pub_seq"].asInt64());
        return seqs;
    };
    const size_t made_b = 20;
    EXPECT_TRUE(sub.wait_for(
        [&](const std::vector<MqttMessage>& msgs) {
            return unique_records(msgs).size() >= static_cast<size_t>(stored) + made_b;
        },
        kWait))
        << read_text(d + "/b.err");
    gw2->signal(SIGTERM);
    EXPECT_EQ(gw2->wait(kWait), 0);
    EXPECT_TRUE(sub.wait_for(
        [](const std::vector<MqttMessage>& msgs) {
            return !msgs.empty() && msgs.back().payload == "offline";
        },
        kWait));

    // Every stored record arrived, numbered 1, 2, 3 ... without a gap; every
    // other one is in a notice; the outbox is empty.
    const std::set<int64_t> got = unique_records(sub.messages());
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(*got.begin(), 1);
    EXPECT_EQ(static_cast<size_t>(*got.rbegin()), got.size());
    int64_t announced = 0, total = 0;
    for (const MqttMessage& m : sub.messages()) {
        if (m.topic != "smdgw/gwf/dropped") continue;
        const Json::Value notice = m.json();
        for (const auto& k : notice["dropped"])
            if (k["kind"].asString() == "record") announced += k["count"].asInt64();
        total = notice["dropped_total"].asInt64();
    }
    const size_t made_all = made + records_made(d + "/b.out");
    EXPECT_EQ(got.size() + static_cast<size_t>(announced), made_all);
    EXPECT_GE(total, announced);
    EXPECT_EQ(number(dir, outbox, "SELECT count(*) FROM mqtt_outbox"), 0);
}

TEST(MqttDiskFull, TheOutboxStaysWithinItsBoundOnADiskThatCouldNotHoldMore) {
    TempDir dir;
    const std::string d = dir.path().string();
    SmallDisk disk(d + "/disk", 1 << 20);
    if (!disk.ok()) GTEST_SKIP() << disk.why();
    const std::string cap = d + "/sim.cap";
    ASSERT_EQ(run_process({POWERSIM_PATH, "--out", cap, "--rounds", "200", "--modules", "40",
                           "--seed", "9"})
                  .status,
              0);
    const std::string closed = "mqtt://127.0.0.1:" + std::to_string(testsupport::free_loopback_port());
    const auto r = run_process(disk.inside(gateway_args(
        "/dev/null", {"--replay", cap, "--mqtt", closed, "--mqtt-outbox",
                      disk.inside_path("outbox.db"), "--mqtt-outbox-max", "512k"})));
    ASSERT_EQ(r.status, 0) << r.err;
    // 200 records of about 9 kB would need 1.8 MB; the bound held the file.
    Json::Value stats;
    for (const auto& l : testsupport::json_lines(r.out))
        if (l["service"].asString() == "mqtt") stats = l;
    EXPECT_EQ(stats["outbox_errors"].asUInt64(), 0u) << r.err;
    EXPECT_GT(stats["dropped"].asUInt64(), 100u);
    const auto size = [&](const std::string& name) {
        std::error_code ec;
        const auto n = std::filesystem::file_size(disk.outside(name), ec);
        return ec ? int64_t{0} : static_cast<int64_t>(n);
    };
    const int64_t on_disk = size("outbox.db") + size("outbox.db-wal") + size("outbox.db-mqtt-reserve");
    EXPECT_LE(on_disk, 512 << 10);
    EXPECT_GT(on_disk, 256 << 10);
    std::cout << "outbox on a 1 MiB disk, bound 512k: " << on_disk << " bytes on disk, "
              << stats["outbox_messages"].asUInt64() << " messages kept\n";
}

}  // namespace
