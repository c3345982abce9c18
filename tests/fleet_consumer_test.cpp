// The central consumer of docs/fleet.md (examples/fleet_to_influx.py) turns
// the record messages smdgw queues for the broker into the same Influx
// measurements, tags and fields as smdgw --format influx, writing a message
// that arrives twice only once.

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/mqtt_broker.h"
#include "tests/support/run_process.h"
#include "tests/support/smdgw_run.h"
#include "tests/support/sql_text.h"
#include "tests/support/temp_dir.h"

namespace {

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
    const auto queue = [&](const std::string& db, bool with_damaged) {
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
        const auto run = testsupport::run_smdgw(args);
        ASSERT_EQ(run.status, 0) << run.err;
    };
    const std::string complete_db = (dir.path() / "complete.db").string();
    queue(complete_db, false);
    EXPECT_EQ(testsupport::sql_text(complete_db,
                                    "SELECT count(*) FROM mqtt_outbox WHERE target LIKE '%/record'"),
              std::to_string(complete));
    const std::string db = (dir.path() / "outbox.db").string();
    queue(db, true);
    // mosquitto_sub -F '%t\t%p' lines; the first record comes twice, as after a
    // reconnection.
    const std::string sql = "SELECT target || char(9) || payload || char(10) FROM mqtt_outbox ";
    const std::string sub =
        testsupport::sql_text(db, sql + "WHERE target LIKE '%/record' ORDER BY id LIMIT 1") +
        testsupport::sql_text(db, sql + "ORDER BY id");
    const std::string input = dir.write_s("sub.txt", sub);
    const auto consumer = run_process({"/bin/sh", "-c",
                                       "/usr/bin/python3 " + std::string(SOURCE_DIR) +
                                           "/examples/fleet_to_influx.py < " + input});
    ASSERT_EQ(consumer.status, 0) << consumer.err;
    EXPECT_NE(consumer.out.find(",gateway=site-9"), std::string::npos);

    const auto want = points(influx.out, "gateway");
    const auto got = points(consumer.out, "gateway");
    ASSERT_GT(want.size(), 40u);
    ASSERT_EQ(got.size(), want.size()) << consumer.out;
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].series, want[i].series) << i;
        ASSERT_EQ(got[i].fields.size(), want[i].fields.size()) << want[i].series;
        for (const auto& kv : want[i].fields) {
            const double g = got[i].fields.at(kv.first);
            EXPECT_LE(std::fabs(g - kv.second), 1e-6 * std::max(1.0, std::fabs(kv.second)))
                << want[i].series << " " << kv.first;
        }
    }
}

}  // namespace
