// Truthful data on a bad line, end to end: powersim on one end of a
// pseudo-terminal pair, smdgw following the other. A damaged line raises no
// false alarm and zeroes nothing downstream, true faults are reported within
// a round, a plant that ignores a vendor command keeps its rounds complete, a
// silent line goes stale, alarms survive a SIGKILL, and the history migrates
// its schema and outlives a database that fails while the line runs.

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/monitoring_formats.h"
#include "tests/support/pty_bridge.h"
#include "tests/support/run_process.h"
#include "tests/support/smdgw_run.h"
#include "tests/support/sql_text.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::Child;
using testsupport::json_lines;
using testsupport::parse_prometheus;
using testsupport::PtyBridge;
using testsupport::read_text;
using testsupport::run_process;
using testsupport::sql_text;
using testsupport::TempDir;

const std::string kDemo = std::string(SOURCE_DIR) + "/examples/demo.json";

// Waits (bounded) until the condition holds; false when it never did.
bool eventually(const std::function<bool()>& cond, double seconds = 30.0) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return cond();
}

std::vector<std::string> smdgw_argv(std::vector<std::string> args) {
    args.insert(args.begin(), {SMDGW_PATH, "--plugin", PLUGIN_PATH});
    return args;
}

std::vector<Json::Value> of_kind(const std::vector<Json::Value>& lines, const std::string& kind) {
    std::vector<Json::Value> out;
    for (const auto& l : lines)
        if (l["event"].asString() == kind) out.push_back(l);
    return out;
}

// The rounds powersim sent, one JSON line per round.
std::vector<Json::Value> sent_rounds(const std::string& path) { return json_lines(read_text(path)); }

size_t published_count(const std::vector<Json::Value>& sent) {
    size_t n = 0;
    for (const auto& r : sent) n += r["published"].asBool() ? 1 : 0;
    return n;
}

// Runs powersim on the line with its --json log in dir and waits until the
// gateway writing out_path has written a record for every round powersim
// published; returns what powersim sent.
std::vector<Json::Value> simulate(const std::string& dir, const std::string& port,
                                  std::vector<std::string> args, const std::string& out_path) {
    args.insert(args.begin(), {POWERSIM_PATH, "--port", port, "--json", dir + "/sent.json"});
    const auto sim = run_process(args);
    EXPECT_EQ(sim.status, 0) << sim.err;
    const auto sent = sent_rounds(dir + "/sent.json");
    const size_t published = published_count(sent);
    EXPECT_TRUE(eventually([&] {
        return of_kind(json_lines(read_text(out_path)), "record").size() >= published;
    }));
    return sent;
}

// Records in output order, each with the alarm events that followed it
// (those of its own round).
struct RoundSeen {
    Json::Value record;
    std::vector<Json::Value> alarms;
};
std::vector<RoundSeen> rounds_seen(const std::vector<Json::Value>& lines) {
    std::vector<RoundSeen> out;
    for (const auto& l : lines) {
        if (l["event"].asString() == "record") out.push_back({l, {}});
        if (l["event"].asString() == "alarm" && !out.empty()) out.back().alarms.push_back(l);
    }
    return out;
}

double prom_value(const std::string& path, const std::string& name,
                  const std::map<std::string, std::string>& labels) {
    try {
        return parse_prometheus(read_text(path)).value(name, labels);
    } catch (const std::exception&) {
        return -1.0;
    }
}

// A healthy plant on a damaged line for 300 rounds: no alarm is raised, every
// damaged round is flagged and only those, and no zero of a lost section
// reaches Prometheus, Influx or the history's complete rounds.
TEST(TruthfulLine, DamagedLineRaisesNoFalseAlarmAndZeroesNothingDownstream) {
    TempDir dir;
    const std::string d = dir.path().string();
    PtyBridge line;
    // The Prometheus file after every round, to be looked at while they come.
    Child gw(smdgw_argv({"--config", kDemo, "--port", line.end_b(), "--prometheus", d + "/p.prom",
                         "--prometheus-interval", "0", "--history", d + "/h.db", "--record",
                         d + "/line.cap", "--log", "/dev/null"}),
             d + "/out.json", d + "/err.txt");
    ASSERT_TRUE(eventually([&] { return read_text(d + "/p.prom").find("veltra_up") !=
                                        std::string::npos; }));
    // Prometheus is looked at while the rounds come: never a zero voltage.
    std::atomic<bool> done{false};
    std::atomic<int> zero_seen{0}, looks{0};
    std::thread watcher([&] {
        while (!done) {
            const double v = prom_value(d + "/p.prom", "veltra_dc_voltage_volts",
                                        {{"device", "plant1"}, {"panel", "1"}});
            if (v == 0.0) ++zero_seen;
            if (v > 0.0) ++looks;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const auto sent = simulate(
        d, line.end_a(), {"--rounds", "300", "--corrupt", "0.02", "--drop", "0.01", "--seed", "2"},
        d + "/out.json");
    const size_t published = published_count(sent);
    done = true;
    watcher.join();
    gw.signal(SIGTERM);
    ASSERT_EQ(gw.wait(30), 0) << read_text(d + "/err.txt");
    EXPECT_EQ(zero_seen, 0) << "Prometheus showed a zeroed DC voltage";
    EXPECT_GT(looks, 0);

    const auto lines = json_lines(read_text(d + "/out.json"));
    const auto seen = rounds_seen(lines);
    ASSERT_EQ(seen.size(), published);
    size_t damaged = 0, k = 0;
    bool after_lost_close = false;
    for (const auto& r : sent) {
        if (!r["published"].asBool()) {
            after_lost_close = true;
            continue;
        }
        const Json::Value& rec = seen[k].record;
        const bool intact = r["intact"].asBool() && !after_lost_close;
        // The first rounds teach the judge which commands the plant answers.
        if (r["round"].asUInt() > 2) {
            EXPECT_EQ(rec["complete"].asBool(), intact) << "round " << r["round"].asUInt();
        }
        EXPECT_FALSE(rec["restored"].asBool());
        if (!rec["complete"].asBool()) {
            ++damaged;
            EXPECT_GT(rec["damage"]["frame_errors"].asUInt() +
                          rec["damage"]["unanswered_commands"].asUInt(),
                      0u);
        } else {
            // A complete round is the whole plant.
            EXPECT_GT(rec["record"]["dc"]["v"].asDouble(), 40.0) << "round " << r["round"].asUInt();
            EXPECT_EQ(rec["record"]["ac"]["channel_count"].asUInt(), 2u);
            EXPECT_EQ(rec["record"]["channel_count"], r["snapshot"]["channel_count"]);
        }
        for (const auto& a : seen[k].alarms)
            ADD_FAILURE() << "false alarm at round " << r["round"].asUInt() << ": " << a.toStyledString();
        after_lost_close = false;
        ++k;
    }
    EXPECT_GT(damaged, 30u) << "the line was damaged enough to matter";
    EXPECT_TRUE(of_kind(lines, "report").empty());
    const auto stats = of_kind(lines, "stats");
    ASSERT_FALSE(stats.empty());
    EXPECT_EQ(stats[0]["rounds_damaged"].asUInt64(), damaged);
    EXPECT_GT(stats[0]["alarm_changes_held"].asUInt64(), 0u);

    // Prometheus at the end: valid, and the line's health as counted.
    const std::string prom = read_text(d + "/p.prom");
    const auto e = parse_prometheus(prom);
    EXPECT_EQ(e.value("veltra_rounds_damaged_total", {{"device", "plant1"}}),
              static_cast<double>(damaged));
    EXPECT_EQ(e.value("veltra_alarms_active", {{"device", "plant1"}}), 0);
    EXPECT_FALSE(e.has("veltra_alarm_active"));
    if (std::system("command -v promtool >/dev/null 2>&1") == 0) {
        const auto check =
            run_process({"/bin/sh", "-c", "promtool check metrics < " + d + "/p.prom"});
        // Its linter reads the phase "b" of the AC metrics as "bytes"; any
        // other complaint is a fault.
        std::string other;
        std::istringstream complaints(check.out + check.err);
        for (std::string l; std::getline(complaints, l);)
            if (!l.empty() && l.find("_phase_b_") == std::string::npos) other += l + "\n";
        EXPECT_TRUE(check.status == 0 || (check.status == 3 && other.empty()))
            << check.status << "\n" << check.out << check.err;
    }

    // Influx of the very same bytes: a point per section of complete rounds
    // only, none zeroed.
    const auto influx = run_process(smdgw_argv(
        {"--config", kDemo, "--replay", d + "/line.cap", "--format", "influx", "--log",
         "/dev/null"}));
    ASSERT_EQ(influx.status, 0) << influx.err;
    size_t dc_points = 0, round_points = 0, incomplete = 0;
    for (const auto& p : testsupport::parse_influx(influx.out)) {
        if (p.measurement == "veltra_round") {
            ++round_points;
            if (p.fields.at("complete").number == 0.0) ++incomplete;
        }
        if (p.measurement == "veltra_dc" && p.tags.at("panel") == "1") {
            ++dc_points;
            EXPECT_GT(p.fields.at("v").number, 40.0);
        }
        if (p.measurement == "veltra_ac_input") {
            EXPECT_GT(p.fields.at("a").number, 100.0);
        }
    }
    EXPECT_EQ(round_points, published);
    EXPECT_EQ(incomplete, damaged);
    EXPECT_EQ(dc_points, published - damaged);

    // The history holds every round with its flag.
    EXPECT_EQ(sql_text(d + "/h.db", "SELECT count(*) FROM history"), std::to_string(published));
    EXPECT_EQ(sql_text(d + "/h.db", "SELECT count(*) FROM history WHERE complete = 0"),
              std::to_string(damaged));
}

// The same damaged line with a blown fuse and a mains failure: each raised no
// later than one round after it starts, cleared no later than one round
// after it ends.
TEST(TruthfulLine, TrueFaultsOnADamagedLineAreReportedWithinARound) {
    TempDir dir;
    const std::string d = dir.path().string();
    PtyBridge line;
    Child gw(smdgw_argv({"--config", kDemo, "--port", line.end_b(), "--log", "/dev/null"}),
             d + "/out.json", d + "/err.txt");
    const auto sent = simulate(d, line.end_a(),
                               {"--rounds", "120", "--corrupt", "0.02", "--drop", "0.01", "--seed",
                                "2", "--fault", "fuse:1:2@30-60", "--fault", "mains-fail:1@80-100"},
                               d + "/out.json");
    const size_t published = published_count(sent);
    gw.signal(SIGTERM);
    ASSERT_EQ(gw.wait(30), 0);
    const auto seen = rounds_seen(json_lines(read_text(d + "/out.json")));
    ASSERT_EQ(seen.size(), published);
    // Line round number of each published record.
    std::vector<unsigned> round_of;
    for (const auto& r : sent)
        if (r["published"].asBool()) round_of.push_back(r["round"].asUInt());
    struct Fault {
        const char* alarm_id;
        unsigned from, to;
    };
    const Fault faults[] = {{"120600470020", 30, 60}, {"419415001", 80, 100}};
    for (const Fault& f : faults) {
        std::vector<std::pair<std::string, unsigned>> changes;  // state, record index
        for (size_t k = 0; k < seen.size(); ++k)
            for (const auto& a : seen[k].alarms)
                if (a["alarm_id"].asString() == f.alarm_id)
                    changes.emplace_back(a["state"].asString(), static_cast<unsigned>(k));
        ASSERT_EQ(changes.size(), 2u) << f.alarm_id;
        EXPECT_EQ(changes[0].first, "raised");
        EXPECT_EQ(changes[1].first, "cleared");
        // Published rounds from the fault's start to the raise: at most one more.
        unsigned first_in = 0, first_after = 0;
        while (round_of[first_in] < f.from) ++first_in;
        while (round_of[first_after] <= f.to) ++first_after;
        EXPECT_GE(changes[0].second, first_in) << f.alarm_id << " raised before the fault";
        EXPECT_LE(changes[0].second, first_in + 1) << f.alarm_id;
        EXPECT_GE(changes[1].second, first_after) << f.alarm_id << " cleared during the fault";
        EXPECT_LE(changes[1].second, first_after + 1) << f.alarm_id;
    }
    for (const auto& r : seen)
        for (const auto& a : r.alarms)
            EXPECT_TRUE(a["alarm_id"].asString() == "120600470020" ||
                        a["alarm_id"].asString() == "419415001")
                << a.toStyledString();
}

// A plant that never answers the vendor command 0xE1/0xF7 and a silent line
// with no alarm level configured: the rounds are complete, the device goes
// stale with veltra_up 0 after "stale_after_s", and live with the next round.
TEST(TruthfulLine, IgnoredVendorCommandIsNoDamageAndASilentLineGoesStale) {
    TempDir dir;
    const std::string d = dir.path().string();
    const std::string config = dir.write_s(
        "gw.json", R"({"devices":[{"name":"plant1","data_id":418,"address":1,"stale_after_s":60}]})");
    PtyBridge line;
    Child gw(smdgw_argv({"--config", config, "--port", line.end_b(), "--prometheus",
                         d + "/p.prom", "--time-scale", "20", "--log", "/dev/null"}),
             d + "/out.json", d + "/err.txt");
    ASSERT_TRUE(eventually([&] { return !read_text(d + "/p.prom").empty(); }));
    const auto up = [&] { return prom_value(d + "/p.prom", "veltra_up", {{"device", "plant1"}}); };
    EXPECT_EQ(up(), 0) << "no round yet";
    Child sim({POWERSIM_PATH, "--port", line.end_a(), "--rounds", "6", "--never-answer", "E1/F7",
               "--silence", "100@4", "--realtime", "--time-scale", "20", "--interval", "1"},
              d + "/sim.out", d + "/sim.err");
    auto states = [&] {
        std::vector<std::string> s;
        for (const auto& e : of_kind(json_lines(read_text(d + "/out.json")), "state"))
            s.push_back(e["state"].asString());
        return s;
    };
    ASSERT_TRUE(eventually([&] { return states().size() >= 2; })) << read_text(d + "/out.json");
    EXPECT_EQ(states()[1], "stale");
    EXPECT_TRUE(eventually([&] {
        return up() == 0 && prom_value(d + "/p.prom", "veltra_state",
                                       {{"device", "plant1"}, {"state", "stale"}}) == 1;
    })) << read_text(d + "/p.prom");
    ASSERT_TRUE(eventually([&] { return states().size() >= 3; }));
    EXPECT_EQ(states(), (std::vector<std::string>{"live", "stale", "live"}));
    EXPECT_TRUE(eventually([&] { return up() == 1; }));
    ASSERT_EQ(sim.wait(60), 0) << read_text(d + "/sim.err");
    ASSERT_TRUE(eventually(
        [&] { return of_kind(json_lines(read_text(d + "/out.json")), "record").size() >= 6; }));
    gw.signal(SIGTERM);
    ASSERT_EQ(gw.wait(30), 0);
    const auto records = of_kind(json_lines(read_text(d + "/out.json")), "record");
    ASSERT_EQ(records.size(), 6u);
    for (const auto& r : records) EXPECT_TRUE(r["complete"].asBool()) << r["damage"].toStyledString();
    EXPECT_TRUE(of_kind(json_lines(read_text(d + "/out.json")), "alarm").empty())
        << "no communication alarm level is configured";
}

// An alarm active when the gateway is killed, the fault gone while it is
// down: no second "raised", one "cleared" at the first live round; the
// restored round is flagged, veltra_up stays 0 until a live round, and
// --count 1 waits for that live round.
TEST(TruthfulLine, AlarmsSurviveSigkillAndRestoredDataIsNeverLive) {
    TempDir dir;
    const std::string d = dir.path().string();
    const std::string db = d + "/h.db";
    {
        PtyBridge line;
        Child gw(smdgw_argv({"--config", kDemo, "--port", line.end_b(), "--history", db, "--log",
                             "/dev/null"}),
                 d + "/out1.json", d + "/err1.txt");
        const auto sim = run_process({POWERSIM_PATH, "--port", line.end_a(), "--rounds", "3",
                                      "--fault", "fuse:1:2@1-"});
        ASSERT_EQ(sim.status, 0) << sim.err;
        ASSERT_TRUE(eventually([&] {
            return sql_text(db, "SELECT count(*) FROM history") == "3" &&
                   sql_text(db, "SELECT count(*) FROM active_alarms") == "1";
        }));
        gw.signal(SIGKILL);
        gw.wait(10);
        const auto first = json_lines(read_text(d + "/out1.json"));
        ASSERT_EQ(of_kind(first, "alarm").size(), 1u);
        EXPECT_EQ(of_kind(first, "alarm")[0]["state"].asString(), "raised");
    }
    PtyBridge line;
    Child gw(smdgw_argv({"--config", kDemo, "--port", line.end_b(), "--history", db,
                         "--prometheus", d + "/p.prom", "--count", "1", "--log", "/dev/null"}),
             d + "/out2.json", d + "/err2.txt");
    ASSERT_TRUE(eventually(
        [&] { return !of_kind(json_lines(read_text(d + "/out2.json")), "history").empty(); }));
    ASSERT_TRUE(eventually([&] {
        return prom_value(d + "/p.prom", "veltra_state",
                          {{"device", "plant1"}, {"state", "restored"}}) == 1;
    }));
    EXPECT_EQ(prom_value(d + "/p.prom", "veltra_up", {{"device", "plant1"}}), 0);
    EXPECT_EQ(prom_value(d + "/p.prom", "veltra_alarms_active", {{"device", "plant1"}}), 1);
    // The restored round alone does not end the run.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto before = json_lines(read_text(d + "/out2.json"));
    EXPECT_TRUE(of_kind(before, "stats").empty()) << "smdgw ended on restored data";
    const auto sim = run_process({POWERSIM_PATH, "--port", line.end_a(), "--rounds", "1"});
    ASSERT_EQ(sim.status, 0) << sim.err;
    ASSERT_EQ(gw.wait(30), 0) << read_text(d + "/err2.txt");
    const auto lines = json_lines(read_text(d + "/out2.json"));
    const auto records = of_kind(lines, "record");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_TRUE(records[0]["restored"].asBool());
    EXPECT_FALSE(records[1]["restored"].asBool());
    EXPECT_TRUE(records[1]["complete"].asBool());
    const auto alarms = of_kind(lines, "alarm");
    ASSERT_EQ(alarms.size(), 1u) << "no second raise of the loaded alarm";
    EXPECT_EQ(alarms[0]["state"].asString(), "cleared");
    EXPECT_EQ(alarms[0]["alarm_id"].asString(), "120600470020");
    std::vector<std::string> states;
    for (const auto& s : of_kind(lines, "state")) states.push_back(s["state"].asString());
    EXPECT_EQ(states, (std::vector<std::string>{"restored", "live"}));
    EXPECT_EQ(prom_value(d + "/p.prom", "veltra_up", {{"device", "plant1"}}), 1);
    EXPECT_EQ(sql_text(db, "SELECT count(*) FROM active_alarms"), "0");
}

// A database of the first schema is migrated at start with a copy kept; a
// database locked by another program while the line runs is reported and
// retried, and the line is followed all along.
TEST(TruthfulLine, HistoryMigratesAndOutlivesAFailingDatabase) {
    TempDir dir;
    const std::string d = dir.path().string();
    const std::string db = d + "/h.db";
    sql_text(db,
             "CREATE TABLE history (id INTEGER PRIMARY KEY, device TEXT NOT NULL,"
             " data_id INTEGER NOT NULL, time INTEGER NOT NULL,"
             " record BLOB NOT NULL CHECK (length(record) = 2704));"
             "CREATE INDEX history_device_time ON history(device, time);"
             "CREATE INDEX history_time ON history(time);"
             "INSERT INTO history(device, data_id, time, record) VALUES"
             " ('plant1', 418, strftime('%s', 'now') - 3600, zeroblob(2704));"
             "PRAGMA application_id=1936548968; PRAGMA user_version=1;");
    PtyBridge line;
    Child gw(smdgw_argv({"--config", kDemo, "--port", line.end_b(), "--history", db, "--log",
                         "/dev/null", "--stats-interval", "0.2"}),
             d + "/out.json", d + "/err.txt");
    ASSERT_TRUE(eventually(
        [&] { return read_text(d + "/err.txt").find("migrated") != std::string::npos; }));
    EXPECT_NE(read_text(d + "/err.txt").find("kept as " + db + ".v1.bak"), std::string::npos)
        << read_text(d + "/err.txt");
    EXPECT_EQ(sql_text(db + ".v1.bak", "PRAGMA user_version"), "1");
    ASSERT_TRUE(eventually([&] { return sql_text(db, "PRAGMA user_version") == "2"; }));

    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &other), SQLITE_OK);
    sqlite3_busy_timeout(other, 5000);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    const auto sim = run_process({POWERSIM_PATH, "--port", line.end_a(), "--rounds", "5"});
    ASSERT_EQ(sim.status, 0) << sim.err;
    // The line is followed while the database fails.
    ASSERT_TRUE(eventually(
        [&] { return of_kind(json_lines(read_text(d + "/out.json")), "record").size() >= 5; }));
    ASSERT_TRUE(eventually([&] {
        return read_text(d + "/err.txt").find("kept in memory, retrying") != std::string::npos;
    })) << read_text(d + "/err.txt");
    EXPECT_NE(read_text(d + "/err.txt").find("database is locked"), std::string::npos);
    ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    ASSERT_TRUE(eventually([&] {
        return read_text(d + "/err.txt").find("writing resumed") != std::string::npos;
    })) << read_text(d + "/err.txt");
    gw.signal(SIGTERM);
    ASSERT_EQ(gw.wait(30), 0);
    EXPECT_EQ(sql_text(db, "SELECT count(*) FROM history"), "6");
    EXPECT_EQ(sql_text(db, "SELECT group_concat(complete, '') FROM history"), "111111");
    // The history's statistics line counts the failed attempts.
    uint64_t errors = 0;
    for (const auto& s : of_kind(json_lines(read_text(d + "/out.json")), "stats"))
        if (s.isMember("history_errors")) errors = s["history_errors"].asUInt64();
    EXPECT_GT(errors, 0u);
}

}  // namespace
