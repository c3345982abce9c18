// Truthful data on a bad line, end to end: powersim on one end of a
// pseudo-terminal pair, smdgw following the other. A damaged line raises no
// false alarm and zeroes nothing downstream, true faults are reported within
// a round, a plant that ignores a vendor command keeps its rounds complete, a
// silent line goes stale, alarms survive a SIGKILL, and the history migrates
// its schema and outlives a database that fails while the line runs. On a
// noisy line (frames corrupted, responses and commands lost) with faults
// coming and going, every alarm changes as on a clean line of the same plant,
// never earlier, and every section a record marks fresh holds the plant's
// values; a section that stops answering raises the host's own alarm instead
// of its values' alarms, following a line and polling as master, and so does
// one whose values stop while its alarms still answer.
// (scripts/noisy_line_acceptance.py runs the long version.)

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/support/master_run.h"
#include "tests/support/monitoring_formats.h"
#include "tests/support/powersim_feed.h"
#include "tests/support/pty_bridge.h"
#include "tests/support/run_process.h"
#include "tests/support/smdgw_run.h"
#include "tests/support/sql_text.h"
#include "tests/support/temp_dir.h"
#include "tools/smdgw/history/history_store.h"

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
    size_t damaged = 0, dc_fresh = 0, k = 0;
    bool after_lost_close = false;
    for (const auto& r : sent) {
        if (!r["published"].asBool()) {
            after_lost_close = true;
            continue;
        }
        const Json::Value& rec = seen[k].record;
        if (rec["sections"]["dc"].asString() == "fresh") ++dc_fresh;
        // A round is judged from its opening command to its close, as the
        // driver collects it; after a lost close it may have begun a round
        // earlier (its own opening command lost), so it is not compared.
        if (!after_lost_close) {
            EXPECT_EQ(rec["complete"].asBool(), r["intact"].asBool())
                << "round " << r["round"].asUInt();
            for (const char* sec : {"ac", "rectifiers", "dc"})
                EXPECT_EQ(rec["sections"][sec].asString() == "fresh",
                          r["sections_intact"][sec].asBool())
                    << "round " << r["round"].asUInt() << " " << sec;
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
    // No change waits for confirmation: a round either refreshed an alarm's
    // sections or says nothing of it.
    EXPECT_EQ(stats[0]["alarm_changes_held"].asUInt64(), 0u);

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

    // Influx of the very same bytes: a point per section a round refreshed,
    // none zeroed.
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
    // A DC point for every round that refreshed the panels, and only those.
    EXPECT_EQ(dc_points, dc_fresh);

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
    // Three rounds, silence until the device is stale (60 s pass in 3 s),
    // however slowly the gateway runs, then three more.
    std::string sim_err;
    ASSERT_TRUE(testsupport::feed_rounds(line, "3", "1", {"--never-answer", "E1/F7"}, &sim_err))
        << sim_err;
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
    ASSERT_TRUE(testsupport::feed_rounds(line, "3", "2", {"--never-answer", "E1/F7"}, &sim_err))
        << sim_err;
    ASSERT_TRUE(eventually([&] { return states().size() >= 3; }));
    EXPECT_EQ(states(), (std::vector<std::string>{"live", "stale", "live"}));
    EXPECT_TRUE(eventually([&] { return up() == 1; }));
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
    const std::string version = std::to_string(smdgw::HistoryStore::kSchemaVersion);
    ASSERT_TRUE(eventually([&] { return sql_text(db, "PRAGMA user_version") == version; }));

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

// An alarm's identity and each change of it: state and line round.
using Identity = std::tuple<std::string, std::string, unsigned>;  // key, alarm ID, seq
using Changes = std::map<Identity, std::vector<std::pair<std::string, unsigned>>>;

// Records and alarm events in output order; the alarms follow their round's
// record. round_of gives the line round of the k-th record.
Changes alarm_changes(const std::vector<Json::Value>& lines, const std::vector<unsigned>& round_of) {
    Changes out;
    size_t k = 0;
    for (const Json::Value& l : lines) {
        if (l["event"].asString() == "record") ++k;
        if (l["event"].asString() != "alarm" || k == 0) continue;
        out[{l["key"].asString(), l["alarm_id"].asString(), l["seq"].asUInt()}].push_back(
            {l["state"].asString(), round_of.at(k - 1)});
    }
    return out;
}

const std::vector<std::string> kFaults = {"--fault", "fuse:1:2@15-40", "--fault",
                                          "mains-fail:1@50-70", "--fault", "module-fault:2@75-95"};

TEST(TruthfulLine, AlarmsComeAndGoAsOnACleanLineAndFreshSectionsHoldThePlantsValues) {
    TempDir dir;
    const std::string d = dir.path().string();
    std::vector<std::string> common = {"--rounds", "110", "--seed", "3", "--json"};
    // The reference: the same plant and faults on a clean line.
    std::vector<std::string> clean = {POWERSIM_PATH, "--out", d + "/clean.cap"};
    clean.insert(clean.end(), common.begin(), common.end());
    clean.push_back(d + "/clean.json");
    clean.insert(clean.end(), kFaults.begin(), kFaults.end());
    ASSERT_EQ(run_process(clean).status, 0);
    const auto reference = run_process(
        smdgw_argv({"--config", kDemo, "--replay", d + "/clean.cap", "--log", "/dev/null"}));
    ASSERT_EQ(reference.status, 0) << reference.err;
    std::vector<unsigned> every_round;
    for (unsigned r = 1; r <= 110; ++r) every_round.push_back(r);
    const Changes expected = alarm_changes(json_lines(reference.out), every_round);
    ASSERT_EQ(expected.size(), 3u) << reference.out.substr(0, 2000);

    // The noisy line, followed live over a pseudo-terminal.
    testsupport::PtyBridge line;
    Child gw(smdgw_argv({"--config", kDemo, "--port", line.end_b(), "--prometheus", d + "/p.prom",
                         "--log", "/dev/null"}),
             d + "/out.json", d + "/err.txt");
    ASSERT_TRUE(eventually([&] { return !read_text(d + "/p.prom").empty(); }, 60));
    std::atomic<bool> done{false};
    std::atomic<int> zeros{0};
    std::thread watcher([&] {
        while (!done) {
            try {
                const auto e = testsupport::parse_prometheus(read_text(d + "/p.prom"));
                if (e.has("veltra_dc_voltage_volts") &&
                    e.value("veltra_dc_voltage_volts", {{"device", "plant1"}, {"panel", "1"}}) == 0.0)
                    ++zeros;
            } catch (const std::exception&) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    std::vector<std::string> noisy = {POWERSIM_PATH, "--port", line.end_a(), "--corrupt", "0.04",
                                      "--drop", "0.04", "--drop-commands", "0.02"};
    noisy.insert(noisy.end(), common.begin(), common.end());
    noisy.push_back(d + "/sent.json");
    noisy.insert(noisy.end(), kFaults.begin(), kFaults.end());
    ASSERT_EQ(run_process(noisy).status, 0);
    const auto sent = json_lines(read_text(d + "/sent.json"));
    std::vector<unsigned> round_of;
    for (const auto& r : sent)
        if (r["published"].asBool()) round_of.push_back(r["round"].asUInt());
    ASSERT_TRUE(eventually(
        [&] {
            return testsupport::events(json_lines(read_text(d + "/out.json")), "record").size() >=
                   round_of.size();
        },
        120));
    done = true;
    watcher.join();
    gw.signal(SIGTERM);
    ASSERT_EQ(gw.wait(30), 0) << read_text(d + "/err.txt");
    EXPECT_EQ(zeros, 0) << "Prometheus showed a lost section's zero";

    const auto lines = json_lines(read_text(d + "/out.json"));
    const Changes seen = alarm_changes(lines, round_of);
    EXPECT_EQ(seen.size(), expected.size()) << "an alarm the clean line never raised";
    for (const auto& kv : expected) {
        const auto it = seen.find(kv.first);
        ASSERT_NE(it, seen.end()) << std::get<1>(kv.first) << " never changed";
        ASSERT_EQ(it->second.size(), kv.second.size()) << std::get<1>(kv.first);
        for (size_t k = 0; k < kv.second.size(); ++k) {
            EXPECT_EQ(it->second[k].first, kv.second[k].first) << std::get<1>(kv.first);
            // Never before the plant changed; within a few rounds of it (the
            // module alarms wait for a round with both its AC and module data).
            EXPECT_GE(it->second[k].second, kv.second[k].second) << std::get<1>(kv.first);
            EXPECT_LE(it->second[k].second, kv.second[k].second + 10) << std::get<1>(kv.first);
        }
    }
    // A fresh section holds its plant's values: of the round that closed, or
    // of the one before when that one's close was lost.
    const auto records = testsupport::events(lines, "record");
    ASSERT_EQ(records.size(), round_of.size());
    size_t incomplete = 0, held = 0;
    for (size_t k = 0; k < records.size(); ++k) {
        const Json::Value& rec = records[k]["record"];
        const Json::Value& sections = records[k]["sections"];
        incomplete += records[k]["complete"].asBool() ? 0 : 1;
        const unsigned r = round_of[k];
        const auto plant = [&](unsigned round) { return sent[round - 1]["snapshot"]; };
        const auto matches = [&](const std::function<bool(const Json::Value&)>& eq) {
            return eq(plant(r)) || (r > 1 && !sent[r - 2]["published"].asBool() && eq(plant(r - 1)));
        };
        if (sections["dc"].asString() == "fresh") {
            EXPECT_TRUE(matches([&](const Json::Value& p) {
                return std::fabs(p["dc"]["v"].asDouble() - rec["dc"]["v"].asDouble()) < 1e-4;
            })) << "round " << r;
        } else {
            ++held;
        }
        if (sections["ac"].asString() == "fresh") {
            EXPECT_TRUE(matches([&](const Json::Value& p) {
                return std::fabs(p["ac_channels"][0]["a"].asDouble() -
                                 rec["ac_channels"][0]["a"].asDouble()) < 1e-3 &&
                       p["ac_channels"][0]["p40_44"] == rec["ac_channels"][0]["p40_44"];
            })) << "round " << r;
        }
        if (sections["rectifiers"].asString() == "fresh") {
            EXPECT_TRUE(matches([&](const Json::Value& p) {
                return p["channel_count"] == rec["channel_count"] &&
                       p["channels"][1]["fault"] == rec["channels"][1]["fault"];
            })) << "round " << r;
        }
    }
    EXPECT_GT(incomplete, 10u) << "the line was noisy enough to matter";
    EXPECT_GT(held, 3u);
}

TEST(TruthfulLine, ASectionThatStopsAnsweringRaisesItsOwnAlarmAndNoValueAlarm) {
    TempDir dir;
    const std::string d = dir.path().string();
    ASSERT_EQ(run_process({POWERSIM_PATH, "--out", d + "/quiet.cap", "--rounds", "20", "--fault",
                           "mute:dc@6-12"})
                  .status,
              0);
    const auto run = run_process(smdgw_argv({"--config", kDemo, "--replay", d + "/quiet.cap",
                                             "--prometheus", d + "/p.prom", "--log", "/dev/null"}));
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = json_lines(run.out);
    std::vector<unsigned> rounds;
    for (unsigned r = 1; r <= 20; ++r) rounds.push_back(r);
    const Changes changes = alarm_changes(lines, rounds);
    // Rounds 6, 7 and 8 heard nothing from the panel: its alarm at 8, cleared
    // when it answers at 13; the zeros of its values raised nothing.
    ASSERT_EQ(changes.size(), 1u) << run.out.substr(0, 3000);
    const auto& dc = changes.begin()->second;
    EXPECT_EQ(std::get<1>(changes.begin()->first), "smdgw-section-dc");
    ASSERT_EQ(dc.size(), 2u);
    EXPECT_EQ(dc[0], (std::pair<std::string, unsigned>{"raised", 8}));
    EXPECT_EQ(dc[1], (std::pair<std::string, unsigned>{"cleared", 13}));
    std::string states;
    for (const auto& r : testsupport::events(lines, "record"))
        states += r["sections"]["dc"].asString().substr(0, 1);
    EXPECT_EQ(states, "fffffhhmmmmmffffffff");
    for (const auto& a : testsupport::events(lines, "alarm")) {
        if (a["state"].asString() == "raised") {
            EXPECT_EQ(a["english"].asString(), "no data from the DC panel");
        }
    }

    // As master: the DC steps time out round after round. The timeout is
    // real time, long enough that a loaded machine's late answer to another
    // step is not taken for silence.
    const auto master = testsupport::run_master(
        dir,
        R"({"devices":[{"name":"plant","data_id":418,"address":1,"role":"master",)"
        R"("response_timeout_ms":1000,"section_missing_rounds":2,"appSetting":{"has_dc":1}}]})",
        {"--fault", "mute:dc@3-5"}, {"--count", "4", "--time-scale", "10"});
    ASSERT_EQ(master.status, 0) << master.err;
    std::vector<std::string> dc_alarm;
    for (const auto& a : testsupport::events(master.lines, "alarm"))
        if (a["alarm_id"].asString() == "smdgw-section-dc") dc_alarm.push_back(a["state"].asString());
    EXPECT_EQ(dc_alarm, (std::vector<std::string>{"raised", "cleared"})) << master.err;
    for (const auto& r : master.records("plant")) EXPECT_TRUE(r["complete"].asBool());
}

// A DC controller that stops answering its analog command (42/41) for rounds
// 6 to 25 while it still answers its alarms (42/44): the DC section is held,
// and after "section_stale_rounds" (default 10) rounds
// the section alarm names the command; the first refreshed round clears it.
TEST(TruthfulLine, DcValuesThatStopWhileItsAlarmsAnswerRaiseTheSectionAlarm) {
    TempDir dir;
    const std::string d = dir.path().string();
    const std::string config =
        dir.write_s("gw.json", R"({"devices":[{"name":"plant1","data_id":418,"address":1}]})");
    PtyBridge line;
    Child gw(smdgw_argv({"--config", config, "--port", line.end_b(), "--log", "/dev/null"}),
             d + "/out.json", d + "/err.txt");
    const auto sim = run_process({POWERSIM_PATH, "--port", line.end_a(), "--rounds", "35",
                                  "--never-answer", "42/41@6-25", "--json", d + "/sent.json"});
    ASSERT_EQ(sim.status, 0) << sim.err;
    const auto records = [&] { return of_kind(json_lines(read_text(d + "/out.json")), "record"); };
    ASSERT_TRUE(eventually([&] { return records().size() >= 35; })) << read_text(d + "/err.txt");
    gw.signal(SIGTERM);
    ASSERT_EQ(gw.wait(30), 0);
    const auto out = json_lines(read_text(d + "/out.json"));
    // Per alarm change of the section: its state, message and round.
    std::vector<std::tuple<std::string, std::string, size_t>> changes;
    size_t round = 0;
    for (const auto& l : out) {
        if (l["event"].asString() == "record") ++round;
        if (l["event"].asString() == "alarm" && l["alarm_id"].asString() == "smdgw-section-dc")
            changes.emplace_back(l["state"].asString(), l["message"].asString(), round);
    }
    ASSERT_EQ(changes.size(), 2u) << read_text(d + "/out.json");
    EXPECT_EQ(changes[0], std::make_tuple(std::string("raised"),
                                          std::string("no DC analog values (42/41) for 10 rounds"),
                                          size_t{15}));
    EXPECT_EQ(std::get<0>(changes[1]), "cleared");
    EXPECT_EQ(std::get<2>(changes[1]), 26u);
    const auto recs = records();
    ASSERT_EQ(recs.size(), 35u);
    // Held while the values do not come (what the driver's record holds of
    // the panel then is not shown as its values).
    EXPECT_EQ(recs[4]["sections"]["dc"].asString(), "fresh");
    EXPECT_EQ(recs[9]["sections"]["dc"].asString(), "held");
    EXPECT_EQ(recs[30]["sections"]["dc"].asString(), "fresh");
    for (const auto& a : of_kind(out, "alarm"))
        EXPECT_EQ(a["alarm_id"].asString(), "smdgw-section-dc") << a.toStyledString();
}

}  // namespace
