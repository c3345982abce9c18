// The central consumer of docs/fleet.md (examples/fleet_to_influx.py) turns
// the record messages smdgw queues for the broker, full or compact, into the
// same Influx measurements, tags and fields as smdgw --format influx, writing
// a message that arrives twice only once; and, subscribed to a real broker
// with its persistent session, it takes every message kind into a real
// InfluxDB 1.x (Debian's influxd, started here), through a stall of its own,
// so that the queries of docs/fleet.md find records, alarms, liveness and
// drops.

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/influx_server.h"

#include "tests/support/mqtt_broker.h"
#include "tests/support/run_process.h"
#include "tests/support/smdgw_run.h"
#include "tests/support/sql_text.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::Child;
using testsupport::read_text;
using testsupport::run_process;
using testsupport::TempDir;

// One point of line protocol: measurement and tags, fields by name.
struct Point {
    std::string series;
    std::map<std::string, double> fields;
};

// The first blank from `from` on that no backslash escapes.
size_t blank(const std::string& line, size_t from) {
    for (size_t i = from; i < line.size(); ++i) {
        if (line[i] == '\\')
            ++i;
        else if (line[i] == ' ')
            return i;
    }
    return std::string::npos;
}

std::vector<Point> points(const std::string& text, const std::string& drop_tag) {
    std::vector<Point> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        // Alarms and states travel on their own topics, not in records.
        if (line.rfind("veltra_", 0) != 0 || line.rfind("veltra_alarm", 0) == 0 ||
            line.rfind("veltra_state", 0) == 0)
            continue;
        const size_t sp = blank(line, 0), sp2 = blank(line, sp + 1);
        Point p;
        p.series = line.substr(0, sp);
        const size_t t = p.series.find("," + drop_tag + "=");
        if (t != std::string::npos) {
            const size_t end = p.series.find(',', t + 1);
            p.series.erase(t, end == std::string::npos ? std::string::npos : end - t);
        }
        std::istringstream fields(line.substr(sp + 1, sp2 - sp - 1));
        for (std::string f; std::getline(fields, f, ',');) {
            const size_t eq = f.find('=');
            p.fields[f.substr(0, eq)] = std::stod(f.substr(eq + 1));
        }
        out.push_back(p);
    }
    return out;
}

TEST(FleetConsumer, RecordMessagesGiveTheInfluxLinesOfTheGateway) {
    TempDir dir;
    const std::string cap = (dir.path() / "sim.cap").string();
    // A damaged line: some rounds lose a section.
    ASSERT_EQ(run_process({POWERSIM_PATH, "--out", cap, "--rounds", "6", "--seed", "31", "--plants",
                           "2", "--fault", "fuse:2:3@2-3", "--drop", "0.05"})
                  .status,
              0);
    const std::string config =
        dir.write_s("gw.json", R"({"devices":[{"name":"plant 1","data_id":418,"address":1},)"
                               R"({"name":"plant,2","data_id":418,"address":2}]})");
    const auto influx = testsupport::run_smdgw(
        {"--config", config, "--replay", cap, "--format", "influx", "--log", "/dev/null"});
    ASSERT_EQ(influx.status, 0) << influx.err;

    const auto json =
        testsupport::run_smdgw({"--config", config, "--replay", cap, "--log", "/dev/null"});
    size_t complete = 0, damaged = 0;
    for (std::istringstream in(json.out); !in.eof();) {
        std::string line;
        std::getline(in, line);
        if (line.find("\"event\":\"record\"") == std::string::npos) continue;
        (line.find("\"complete\":true") != std::string::npos ? complete : damaged) += 1;
    }
    ASSERT_GT(complete, 0u);
    ASSERT_GT(damaged, 0u) << "the capture should have damaged rounds";

    // The same rounds queued for a broker that is not there: damaged rounds
    // only when asked for.
    const auto queue = [&](const std::string& db, bool with_damaged,
                           const std::string& payload = "full") {
        std::vector<std::string> args = {
            "--config",
            config,
            "--replay",
            cap,
            "--log",
            "/dev/null",
            "--mqtt",
            "mqtt://127.0.0.1:" + std::to_string(testsupport::free_loopback_port()),
            "--mqtt-outbox",
            db,
            "--gateway-id",
            "site-9"};
        if (with_damaged) args.push_back("--mqtt-damaged");
        args.insert(args.end(), {"--mqtt-payload", payload});
        const auto run = testsupport::run_smdgw(args);
        ASSERT_EQ(run.status, 0) << run.err;
    };
    const std::string complete_db = (dir.path() / "complete.db").string();
    queue(complete_db, false);
    EXPECT_EQ(testsupport::sql_text(complete_db,
                                    "SELECT count(*) FROM mqtt_outbox WHERE target LIKE '%/record'"),
              std::to_string(complete));
    // Full and compact payloads give the same lines.
    for (const std::string payload : {"full", "compact"}) {
        const std::string db = (dir.path() / (payload + ".db")).string();
        queue(db, true, payload);
        // mosquitto_sub -F '%t\t%p' lines; the first record comes twice, as after a
        // reconnection.
        const std::string sql = "SELECT target || char(9) || payload || char(10) FROM mqtt_outbox ";
        const std::string sub =
            testsupport::sql_text(db, sql + "WHERE target LIKE '%/record' ORDER BY id LIMIT 1") +
            testsupport::sql_text(db, sql + "ORDER BY id");
        const std::string input = dir.write_s(payload + ".txt", sub);
        const auto consumer = run_process({"/bin/sh", "-c",
                                           "/usr/bin/python3 " + std::string(SOURCE_DIR) +
                                               "/examples/fleet_to_influx.py < " + input});
        ASSERT_EQ(consumer.status, 0) << consumer.err;
        EXPECT_NE(consumer.out.find(",gateway=site-9"), std::string::npos);

        const auto want = points(influx.out, "gateway");
        const auto got = points(consumer.out, "gateway");
        ASSERT_GT(want.size(), 40u);
        ASSERT_EQ(got.size(), want.size()) << payload << "\n" << consumer.out;
        for (size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(got[i].series, want[i].series) << payload << " " << i;
            ASSERT_EQ(got[i].fields.size(), want[i].fields.size()) << want[i].series;
            for (const auto& kv : want[i].fields) {
                const double g = got[i].fields.at(kv.first);
                EXPECT_LE(std::fabs(g - kv.second), 1e-6 * std::max(1.0, std::fabs(kv.second)))
                    << payload << " " << want[i].series << " " << kv.first;
            }
        }
    }
}

// The one number an InfluxQL count or sum answers (0 when it answers none).
double first_value(const Json::Value& results) {
    const Json::Value& series = results[0]["series"];
    return series.empty() ? 0.0 : series[0]["values"][0][1].asDouble();
}

// The queries of docs/fleet.md's ```influxql block.
std::vector<std::string> documented_queries() {
    const std::string doc = read_text(std::string(SOURCE_DIR) + "/docs/fleet.md");
    const size_t begin = doc.find("```influxql\n");
    std::vector<std::string> out;
    if (begin == std::string::npos) return out;
    std::istringstream in(doc.substr(begin + 12, doc.find("```", begin + 12) - begin - 12));
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) out.push_back(line);
    return out;
}

TEST(FleetConsumer, EveryMessageKindReachesInfluxDbThroughTheBrokerAndTheDocsQueriesFindIt) {
    TempDir dir;
    const std::string d = dir.path().string();
    testsupport::InfluxServer influx(d);
    ASSERT_TRUE(influx.start()) << influx.log();
    ASSERT_TRUE(influx.query("", "CREATE DATABASE fleet").isArray()) << influx.log();
    testsupport::MosquittoBroker broker(d);
    ASSERT_TRUE(broker.start()) << broker.log();
    Child consumer({"/usr/bin/python3", std::string(SOURCE_DIR) + "/examples/fleet_to_influx.py",
                    "--mqtt", broker.url(), "--client-id", "central", "--influx",
                    influx.write_url("fleet")},
                   d + "/consumer.out", d + "/consumer.err");
    for (int i = 0; i < 200 && read_text(d + "/consumer.err").find("connected to") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_NE(read_text(d + "/consumer.err").find("connected to"), std::string::npos)
        << read_text(d + "/consumer.err");

    // Line time from an hour ago: every round its own timestamp, within the
    // docs' "last day".
    char start[32];
    const std::time_t hour_ago = std::time(nullptr) - 3600;
    std::strftime(start, sizeof start, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&hour_ago));
    const auto capture = [&](const std::string& name, std::vector<std::string> args) {
        args.insert(args.begin(), {POWERSIM_PATH, "--out", d + "/" + name});
        const auto r = run_process(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return d + "/" + name;
    };
    const auto gateway = [&](const std::string& cap, const std::string& url,
                             std::vector<std::string> extra) {
        std::vector<std::string> args = {"--config", std::string(SOURCE_DIR) + "/examples/demo.json",
                                         "--replay", cap, "--log", "/dev/null", "--clock-start",
                                         start, "--mqtt", url};
        args.insert(args.end(), extra.begin(), extra.end());
        const auto r = testsupport::run_smdgw(args);
        EXPECT_EQ(r.status, 0) << r.err;
    };
    // site-1: full records, an alarm raised and cleared.
    gateway(capture("s1.cap", {"--rounds", "6", "--seed", "3", "--fault", "breaker-trip:1@2-3"}),
            broker.url(), {"--mqtt-outbox", d + "/s1.db", "--gateway-id", "site-1"});
    // site-2: compact records, more than its outbox holds while the broker is
    // away, so some are dropped and announced; the consumer stalls meanwhile.
    const std::string closed = "mqtt://127.0.0.1:" + std::to_string(testsupport::free_loopback_port());
    const std::string s2 = d + "/s2.db";
    gateway(capture("s2.cap", {"--rounds", "60", "--modules", "40", "--seed", "4"}), closed,
            {"--mqtt-outbox", s2, "--mqtt-outbox-max", "256k", "--gateway-id", "site-2",
             "--mqtt-payload", "compact"});
    const double kept = std::stod(
        "0" + testsupport::sql_text(s2, "SELECT count(*) FROM mqtt_outbox WHERE target LIKE '%/record'"));
    const std::string lost = testsupport::sql_text(s2, "SELECT total FROM mqtt_drops WHERE kind = 'record'");
    ASSERT_GT(kept, 0);
    ASSERT_NE(lost, "0");
    consumer.signal(SIGSTOP);
    gateway(dir.write_s("empty.cap", ""), broker.url(),
            {"--mqtt-outbox", s2, "--gateway-id", "site-2"});
    std::this_thread::sleep_for(std::chrono::seconds(1));
    consumer.signal(SIGCONT);

    const auto count = [&](const std::string& q) { return first_value(influx.query("fleet", q)); };
    bool all = false;
    for (int i = 0; i < 300 && !all; ++i) {
        all = count("SELECT count(\"complete\") FROM veltra_round WHERE gateway = 'site-1'") == 6 &&
              count("SELECT count(\"complete\") FROM veltra_round WHERE gateway = 'site-2'") == kept &&
              count("SELECT count(\"active\") FROM veltra_alarm") == 2 &&
              count("SELECT sum(\"count\") FROM smdgw_dropped WHERE gateway = 'site-2'") ==
                  std::stod(lost) &&
              count("SELECT count(\"online\") FROM smdgw_gateway") >= 4;
        if (!all) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(all) << read_text(d + "/consumer.err") << "site-1 rounds "
                     << count("SELECT count(\"complete\") FROM veltra_round WHERE gateway = 'site-1'")
                     << ", site-2 rounds "
                     << count("SELECT count(\"complete\") FROM veltra_round WHERE gateway = 'site-2'")
                     << " of " << kept << ", alarms " << count("SELECT count(\"active\") FROM veltra_alarm")
                     << ", dropped "
                     << count("SELECT sum(\"count\") FROM smdgw_dropped WHERE gateway = 'site-2'")
                     << " of " << lost << ", status "
                     << count("SELECT count(\"online\") FROM smdgw_gateway");
    // Compact records became the same measurements: 40 modules a round.
    EXPECT_EQ(count("SELECT count(\"out_i\") FROM veltra_rectifier WHERE gateway = 'site-2'"),
              kept * 40);
    EXPECT_EQ(first_value(influx.query(
                  "fleet", "SELECT last(\"online\") FROM smdgw_gateway WHERE gateway = 'site-1'")),
              0.0);

    const auto queries = documented_queries();
    ASSERT_GE(queries.size(), 5u) << "no ```influxql block in docs/fleet.md";
    for (const std::string& q : queries) {
        const Json::Value r = influx.query("fleet", q);
        EXPECT_TRUE(r.isArray() && !r[0].isMember("error")) << q << "\n" << r.toStyledString();
        EXPECT_FALSE(r[0]["series"].empty()) << q << "\n" << r.toStyledString();
    }
    consumer.signal(SIGTERM);
    EXPECT_EQ(consumer.wait(30.0), 0) << read_text(d + "/consumer.err");
}

}  // namespace
