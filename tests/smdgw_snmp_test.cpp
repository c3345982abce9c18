// smdgw --snmp-agentx end to end: the gateway follows powersim over a
// pseudo-terminal and registers with a real snmpd (AgentX over a Unix
// socket), which sends its notifications to a real snmptrapd; the test walks
// snmpd with SNMPv3 authPriv and compares with the HTTP API, reads the traps,
// and restarts snmpd under the running gateway. OIDs are numeric (-On).

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/pty_bridge.h"
#include "tests/support/run_process.h"
#include "tests/support/smdgw_run.h"
#include "tests/support/snmp_daemons.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::Child;
using testsupport::parse_json;
using testsupport::PtyBridge;
using testsupport::read_text;
using testsupport::run_process;
using testsupport::SnmpDaemons;
using testsupport::SnmpTrap;
using testsupport::SnmpVar;
using testsupport::TempDir;

constexpr double kTimeout = 30.0;
const std::string kRoot = "1.3.6.1.4.1.8072.9999.9999.1";
const std::string kSequence = kRoot + ".1.1.1.0";
const std::string kSensorEntry = "1.3.6.1.2.1.99.1.1.1";
const std::string kPhysicalName = "1.3.6.1.2.1.47.1.1.1.1.7";
const std::string kPhysicalAlias = "1.3.6.1.2.1.47.1.1.1.1.14";

double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool eventually(const std::function<bool()>& ok, double seconds = kTimeout) {
    const double end = now_s() + seconds;
    while (now_s() < end) {
        if (ok()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ok();
}

// When each line of smdgw's output and each trap of snmptrapd's log first
// appeared, polled every 10 ms on a thread of its own.
class Arrivals {
   public:
    Arrivals(std::string out, std::string traps)
        : out_(std::move(out)), traps_(std::move(traps)), thread_([this] { run(); }) {}
    ~Arrivals() {
        stop_ = true;
        thread_.join();
    }
    std::vector<double> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    std::vector<double> traps() {
        std::lock_guard<std::mutex> lock(mutex_);
        return traps_seen_;
    }

   private:
    static size_t count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }
    void run() {
        while (!stop_) {
            const size_t lines = count(read_text(out_), "\n");
            const size_t traps = count(read_text(traps_), "TRAP ");
            {
                std::lock_guard<std::mutex> lock(mutex_);
                const double t = now_s();
                while (lines_.size() < lines) lines_.push_back(t);
                while (traps_seen_.size() < traps) traps_seen_.push_back(t);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    std::string out_, traps_;
    std::mutex mutex_;
    std::vector<double> lines_, traps_seen_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// snmpd, snmptrapd and smdgw following a pseudo-terminal with --http and
// --snmp-agentx; examples/demo.json with a short "stale_after_s" and a
// battery (its temperature the DC panel's first user value).
struct SnmpGateway {
    TempDir dir;
    SnmpDaemons snmp{dir.path().string()};
    PtyBridge line;
    std::unique_ptr<Child> gw;
    int port = 0;

    explicit SnmpGateway(int stale_after_s) {
        EXPECT_TRUE(snmp.start_snmpd()) << snmp.snmpd_log();
        EXPECT_TRUE(snmp.start_trapd()) << snmp.trapd_log();
        Json::Value cfg = parse_json(read_text(std::string(SOURCE_DIR) + "/examples/demo.json"));
        cfg["devices"][0]["stale_after_s"] = stale_after_s;
        cfg["devices"][0]["battery"] = parse_json(R"({"strings_ah":[200],"temperature_value":0})");
        const std::string d = dir.path().string();
        gw = std::make_unique<Child>(
            std::vector<std::string>{SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config",
                                     dir.write_s("gw.json", cfg.toStyledString()), "--log",
                                     d + "/driver.log", "--port", line.end_b(), "--http",
                                     "127.0.0.1:0", "--snmp-agentx", snmp.agentx(),
                                     "--snmp-state-dir", d, "--snmp-ping", "1",
                                     "--snmp-heartbeat", "1"},
            out(), err());
        EXPECT_TRUE(eventually([&] {
            const std::string e = read_text(err());
            const size_t at = e.find("serving http://127.0.0.1:");
            if (at != std::string::npos) port = std::stoi(e.substr(at + 25));
            return port != 0 && e.find("registered with the AgentX master") != std::string::npos;
        })) << read_text(err());
    }
    ~SnmpGateway() { stop(); }
    // SIGTERM; the exit status (a sanitizer's report makes it fail).
    int stop() {
        if (!gw) return status;
        gw->signal(SIGTERM);
        status = gw->wait(kTimeout);
        gw.reset();
        return status;
    }
    int status = -1;
    std::string out() const { return (dir.path() / "out.txt").string(); }
    std::string err() const { return (dir.path() / "err.txt").string(); }
    Json::Value get(const std::string& path) const {
        httplib::Client c("127.0.0.1", port);
        c.set_read_timeout(10, 0);
        auto r = c.Get(path.c_str());
        return r && r->status == 200 ? parse_json(r->body) : Json::Value();
    }
    std::string metrics() const {
        httplib::Client c("127.0.0.1", port);
        auto r = c.Get("/metrics");
        return r ? r->body : "";
    }
};

// The analog values the API's record lists for a plant, by path, as the
// monitoring outputs take them: AC inputs up to ac.channel_count, panel 2
// when it reports a voltage or fuses.
std::map<std::string, double> api_values(const Json::Value& rec) {
    std::map<std::string, double> m;
    m["out_v"] = rec["out_v"].asDouble();
    for (const char* k : {"ia", "ib", "ic"}) m[std::string("ac.") + k] = rec["ac"][k].asDouble();
    const unsigned inputs = std::min(rec["ac"]["channel_count"].asUInt(), 2u);
    for (unsigned i = 0; i < inputs; ++i)
        for (const char* k : {"a", "b", "c", "f"})
            m["ac_channels[" + std::to_string(i) + "]." + k] = rec["ac_channels"][i][k].asDouble();
    for (Json::ArrayIndex j = 0; j < rec["channels"].size(); ++j)
        m["channels[" + std::to_string(j) + "].out_i"] = rec["channels"][j]["out_i"].asDouble();
    for (const char* panel : {"dc", "dc2"}) {
        const Json::Value& p = rec[panel];
        if (std::string(panel) == "dc2" && p["v"].asDouble() == 0 && p["alert_m_count"].asUInt() == 0)
            continue;
        m[std::string(panel) + ".v"] = p["v"].asDouble();
        m[std::string(panel) + ".i"] = p["i"].asDouble();
        for (Json::ArrayIndex k = 0; k < p["dc_i"].size(); ++k)
            m[std::string(panel) + ".dc_i[" + std::to_string(k) + "]"] = p["dc_i"][k].asDouble();
    }
    return m;
}

// ENTITY-SENSOR-MIB's type and the documented precision of a value's path.
std::pair<int, int> sensor_type(const std::string& path) {
    if (path == "battery.temperature_c") return {8, 1};                 // celsius, 0.1 C
    const bool ac_input = path.rfind("ac_channels", 0) == 0;
    if (ac_input && path.back() == 'f') return {7, 2};                  // hertz, 0.01 Hz
    if (ac_input) return {3, 2};                                         // voltsAC, 0.01 V
    if (path == "out_v" || (path.size() > 2 && path.substr(path.size() - 2) == ".v"))
        return {4, 2};  // voltsDC, 0.01 V
    return {5, 1};      // amperes, 0.1 A
}

// The last arc of an OID: the row's index.
std::string row_of(const std::string& oid) { return oid.substr(oid.rfind('.') + 1); }

// Every readable object the MIB module declares, with its OID: OBJECT-TYPE
// with MAX-ACCESS read-only, each OID resolved through the module's own
// assignments from its MODULE-IDENTITY.
std::map<std::string, std::string> declared_objects(const std::string& mib, const std::string& root) {
    std::map<std::string, std::string> oid_of, readable;
    std::istringstream in(mib);
    std::string line, name;
    bool read_only = false;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string first, second;
        words >> first >> second;
        if (second == "MODULE-IDENTITY") oid_of[first] = root;
        if (second == "OBJECT-TYPE" || second == "OBJECT" || second == "NOTIFICATION-TYPE") {
            name = first;
            read_only = false;
        }
        if (first == "MAX-ACCESS") read_only = second == "read-only";
        const size_t assign = line.find("::= {");
        if (assign == std::string::npos) continue;
        std::istringstream value(line.substr(assign + 5));
        std::string parent, arc;
        value >> parent >> arc;
        if (line.find("OBJECT IDENTIFIER") != std::string::npos) name = first;
        if (!oid_of.count(parent)) continue;
        oid_of[name] = oid_of[parent] + "." + arc;
        if (read_only) readable[name] = oid_of[name];
    }
    return readable;
}

// The numbered notifications snmptrapd logged (not the heartbeats), with
// their place in its log.
std::vector<std::pair<size_t, SnmpTrap>> numbered_traps(const SnmpDaemons& snmp) {
    std::vector<std::pair<size_t, SnmpTrap>> out;
    const auto traps = snmp.traps();
    for (size_t i = 0; i < traps.size(); ++i)
        if (!traps[i].value(kSequence).empty() && traps[i].trap_oid != kRoot + ".0.4")
            out.emplace_back(i, traps[i]);
    return out;
}

// A live plant with alarms coming and going, then silence: the sensor table
// (the battery's current and temperature too) and the battery table equal
// the API, the alarm table equals /api/v1/alarms, every object the
// MIB module declares is served, every alarm and state change is a numbered
// trap (no gap, each within 1 s of its JSON line), and the sensors turn
// unavailable within 1 s of the device turning stale; the heartbeat carries
// the last number.
TEST(SnmpAgent, ServesTheApiAndNumbersEveryNotification) {
    SnmpGateway g(4);
    Arrivals arrivals(g.out(), (g.dir.path() / "traps.log").string());
    // The fuse alone first, so that its raise and clear follow each other.
    const auto sim = run_process({POWERSIM_PATH, "--port", g.line.end_a(), "--rounds", "14",
                                  "--seed", "5", "--fault", "fuse:1:2@3-4", "--fault",
                                  "breaker-trip:1@7-8", "--fault", "module-fault:3@8-10", "--fault",
                                  "fuse:2:1@9-11", "--fault", "module-fault:5@12-"});
    ASSERT_EQ(sim.status, 0) << sim.err;
    ASSERT_TRUE(eventually([&] { return g.get("/api/v1/devices")[0]["rounds"].asUInt() == 14; }));

    // The sensor table, walked with SNMPv3 authPriv, equals the API's values.
    const Json::Value device = g.get("/api/v1/devices/plant1");
    ASSERT_EQ(device["state"].asString(), "live");
    std::map<std::string, double> expected = api_values(device["record"]);
    const Json::Value battery = g.get("/api/v1/devices/plant1/battery");
    ASSERT_TRUE(battery["temperature_c"].isDouble()) << battery.toStyledString();
    expected["battery.current_a"] = battery["current_a"].asDouble();
    expected["battery.temperature_c"] = battery["temperature_c"].asDouble();
    // entPhysicalIndex -> API path (entPhysicalAlias); the names are in words.
    std::map<std::string, std::string> path_of;
    for (const SnmpVar& v : g.snmp.walk(kPhysicalAlias))
        if (!v.value.empty()) path_of[row_of(v.oid)] = v.value;
    for (const SnmpVar& v : g.snmp.walk(kPhysicalName))
        if (path_of.count(row_of(v.oid))) {
            EXPECT_EQ(v.value.rfind("plant1 ", 0), 0u) << v.value;
            EXPECT_EQ(v.value.find_first_of("[_"), std::string::npos) << v.value;
        }
    std::map<std::string, std::map<int, long>> sensors;  // index -> column -> value
    std::map<std::string, std::string> units;
    for (const SnmpVar& v : g.snmp.walk(kSensorEntry)) {
        const std::string rest = v.oid.substr(kSensorEntry.size() + 1);
        const int column = std::stoi(rest.substr(0, rest.find('.')));
        if (column == 6) {  // entPhySensorUnitsDisplay
            units[row_of(v.oid)] = v.value;
            continue;
        }
        sensors[row_of(v.oid)][column] = std::stol(v.value);
    }
    std::map<std::string, double> served;
    for (const auto& [index, columns] : sensors) {
        ASSERT_TRUE(path_of.count(index)) << "sensor " << index << " has no entPhysicalName";
        const std::string& path = path_of[index];
        const auto [type, precision] = sensor_type(path);
        EXPECT_EQ(columns.at(1), type) << path;
        EXPECT_EQ(columns.at(2), 9) << path << ": scale units";
        EXPECT_EQ(columns.at(3), precision) << path;
        EXPECT_EQ(columns.at(5), 1) << path << ": ok";
        EXPECT_EQ(units[index], type == 3   ? "V AC"
                                : type == 4 ? "V DC"
                                : type == 5 ? "A"
                                : type == 8 ? "C"
                                            : "Hz");
        served[path] = static_cast<double>(columns.at(4)) / std::pow(10.0, precision);
        ASSERT_TRUE(expected.count(path)) << path << " is not in the API";
        // The API writes seven digits, the agent rounds the float itself.
        EXPECT_NEAR(served[path], expected.at(path), 0.5 / std::pow(10.0, precision) + 1e-6)
            << path;
    }
    EXPECT_EQ(served.size(), expected.size());

    // The battery table: the API's state, charge in whole percent, times in
    // whole seconds, -1 for what is not known.
    std::map<int, long> bank;  // column -> value
    const std::string battery_entry = kRoot + ".1.4.1";
    for (const SnmpVar& v : g.snmp.walk(battery_entry)) {
        EXPECT_EQ(row_of(v.oid), "1") << v.oid;
        const std::string rest = v.oid.substr(battery_entry.size() + 1);
        bank[std::stoi(rest.substr(0, rest.find('.')))] = std::stol(v.value);
    }
    const std::map<std::string, long> state_numbers = {
        {"unknown", 1}, {"float", 2}, {"charging", 3}, {"discharging", 4}, {"disconnected", 5}};
    ASSERT_EQ(bank.size(), 5u);
    EXPECT_EQ(bank[1], state_numbers.at(battery["state"].asString())) << battery.toStyledString();
    const auto or_none = [](const Json::Value& v, double scale) {
        return v.isNull() ? -1L : std::lround(v.asDouble() * scale);
    };
    EXPECT_EQ(bank[2], or_none(battery["charge"], 100.0));
    EXPECT_EQ(bank[3], or_none(battery["runtime_s"], 1.0));
    EXPECT_EQ(bank[4], or_none(battery["runtime_low_s"], 1.0));
    EXPECT_EQ(bank[5], or_none(battery["runtime_high_s"], 1.0));

    // The alarm table equals /api/v1/alarms.
    const Json::Value api_alarms = g.get("/api/v1/alarms");
    ASSERT_GE(api_alarms.size(), 1u) << "module 5 stays faulty";
    std::map<std::string, std::map<int, std::string>> rows;
    const std::string alarm_entry = kRoot + ".1.3.1";
    for (const SnmpVar& v : g.snmp.walk(alarm_entry)) {
        const std::string rest = v.oid.substr(alarm_entry.size() + 1);
        rows[row_of(v.oid)][std::stoi(rest.substr(0, rest.find('.')))] = v.value;
    }
    std::multiset<std::string> table, api;
    for (const auto& [row, c] : rows) {
        // DateAndTime: year (2 octets), month, day, hour, minute, second ...
        const std::string& t = c.at(9);
        ASSERT_EQ(t.size(), 11u);
        std::tm tm{};
        tm.tm_year = (static_cast<unsigned char>(t[0]) << 8 | static_cast<unsigned char>(t[1])) - 1900;
        tm.tm_mon = t[2] - 1;
        tm.tm_mday = t[3];
        tm.tm_hour = t[4];
        tm.tm_min = t[5];
        tm.tm_sec = t[6];
        tm.tm_isdst = -1;
        table.insert(c.at(2) + "|" + c.at(3) + "|" + c.at(4) + "|" + c.at(5) + "|" + c.at(6) + "|" +
                     c.at(7) + "|" + c.at(8) + "|" + std::to_string(std::mktime(&tm)));
    }
    for (const Json::Value& a : api_alarms) {
        std::tm tm{};
        strptime(a["since"].asCString(), "%Y-%m-%dT%H:%M:%S", &tm);
        tm.tm_isdst = -1;
        api.insert(a["device"].asString() + "|" + a["alarm_id"].asString() + "|" +
                   a["key"].asString() + "|" + a["seq"].asString() + "|" + a["level"].asString() +
                   "|" + a["message"].asString() + "|" + a["english"].asString() + "|" +
                   std::to_string(std::mktime(&tm)));
    }
    EXPECT_EQ(table, api);

    // Every readable object the shipped MIB module declares is served.
    const std::vector<SnmpVar> all = g.snmp.walk(kRoot);
    const auto objects =
        declared_objects(read_text(std::string(SOURCE_DIR) + "/docs/SMDGW-MIB.txt"), kRoot);
    EXPECT_GE(objects.size(), 20u);
    for (const auto& [name, oid] : objects) {
        bool found = false;
        for (const SnmpVar& v : all) found = found || v.oid.rfind(oid + ".", 0) == 0;
        EXPECT_TRUE(found) << name << " (" << oid << ") is declared but not served";
    }
    for (const SnmpVar& v : all) {
        bool declared = false;
        for (const auto& [name, oid] : objects) declared = declared || v.oid.rfind(oid + ".", 0) == 0;
        EXPECT_TRUE(declared) << v.oid << " is served but not declared";
    }

    // Every alarm and state change became a numbered trap: no gap, the fuse's
    // raise and clear consecutive, each trap within 1 s of its JSON line.
    std::vector<std::pair<size_t, Json::Value>> changes;  // output line, event
    {
        std::istringstream out(read_text(g.out()));
        std::string text;
        for (size_t n = 0; std::getline(out, text); ++n) {
            const Json::Value e = parse_json(text);
            if (e["event"] == "alarm" || e["event"] == "state") changes.emplace_back(n, e);
        }
    }
    const auto numbered = [&] { return numbered_traps(g.snmp); };
    ASSERT_TRUE(eventually([&] { return numbered().size() >= changes.size(); }))
        << g.snmp.trapd_log();
    const auto traps = numbered();
    ASSERT_EQ(traps.size(), changes.size());
    const unsigned long first = std::stoul(traps[0].second.value(kSequence));
    const std::vector<double> line_times = arrivals.lines();
    const std::vector<double> trap_times = arrivals.traps();
    int fuse_raise = -1, fuse_clear = -1;
    double latest = 0.0;
    for (size_t i = 0; i < traps.size(); ++i) {
        const SnmpTrap& t = traps[i].second;
        const Json::Value& e = changes[i].second;
        EXPECT_EQ(std::stoul(t.value(kSequence)), first + i) << "a gap at trap " << i;
        if (e["event"] == "state") {
            EXPECT_EQ(t.trap_oid, kRoot + ".0.3");
            continue;
        }
        const bool raised = e["state"] == "raised";
        EXPECT_EQ(t.trap_oid, kRoot + (raised ? ".0.1" : ".0.2"));
        EXPECT_EQ(t.value(kRoot + ".1.3.1.3."), e["alarm_id"].asString());
        EXPECT_EQ(t.value(kRoot + ".1.3.1.7."), e["message"].asString());
        // The English meaning is the alarm's first object, before the plant's message.
        const auto first_alarm_var =
            std::find_if(t.vars.begin(), t.vars.end(), [&](const testsupport::SnmpVar& v) {
                return v.oid.rfind(kRoot + ".1.3.1.", 0) == 0;
            });
        ASSERT_NE(first_alarm_var, t.vars.end());
        EXPECT_EQ(first_alarm_var->oid.rfind(kRoot + ".1.3.1.8.", 0), 0u) << first_alarm_var->oid;
        EXPECT_EQ(first_alarm_var->value, e["english"].asString());
        if (e["alarm_id"] == "120600470020") (raised ? fuse_raise : fuse_clear) = static_cast<int>(i);
        ASSERT_LT(changes[i].first, line_times.size());
        ASSERT_LT(traps[i].first, trap_times.size());
        const double late = trap_times[traps[i].first] - line_times[changes[i].first];
        latest = std::max(latest, late);
    }
    ASSERT_GE(fuse_raise, 0);
    EXPECT_EQ(fuse_clear, fuse_raise + 1) << "the fuse's raise and clear are numbered in a row";
    // The heartbeat carries the last number, unnumbered itself.
    const std::string last = std::to_string(first + traps.size() - 1);
    EXPECT_TRUE(eventually([&] {
        const auto all = g.snmp.traps();
        return std::any_of(all.begin(), all.end(), [&](const SnmpTrap& t) {
            return t.trap_oid == kRoot + ".0.4" && t.value(kSequence) == last;
        });
    }, 3)) << g.snmp.trapd_log();

    // Silence: every sensor row turns unavailable once the device is stale
    // (its data older than the same bound); how soon is a printed figure.
    ASSERT_TRUE(eventually([&] { return g.get("/api/v1/devices")[0]["state"] == "stale"; }, 10));
    const double stale_at = now_s();
    const std::string status = kSensorEntry + ".5";
    ASSERT_TRUE(eventually(
        [&] {
            const auto rows = g.snmp.walk(status);
            return !rows.empty() && std::all_of(rows.begin(), rows.end(), [](const SnmpVar& v) {
                return v.value == "2";
            });
        },
        5));
    const double unavailable_after = now_s() - stale_at;
    std::cout << "[ figures  ] " << served.size() << " sensors, " << rows.size() << " alarm rows, "
              << traps.size() << " numbered traps (the latest " << latest
              << " s after its JSON line), unavailable " << unavailable_after
              << " s after stale\n";

    const std::string metrics = g.metrics();
    EXPECT_NE(metrics.find("smdgw_snmp_agentx_connected 1\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("smdgw_snmp_notifications_unsent_total 0\n"), std::string::npos);
    EXPECT_EQ(g.stop(), 0) << read_text(g.err());
}

// snmpd restarted under a running gateway: the subagent registers again and
// the tables answer; the rounds of the live plant keep coming while snmpd is
// away, since the subagent never holds up the line.
TEST(SnmpAgent, RegistersAgainAfterSnmpdRestarts) {
    SnmpGateway g(60);
    Child sim({POWERSIM_PATH, "--port", g.line.end_a(), "--rounds", "0", "--realtime",
               "--time-scale", "5", "--interval", "1", "--seed", "3"},
              (g.dir.path() / "sim.out").string(), (g.dir.path() / "sim.err").string());
    const std::string name = kRoot + ".1.2.1.2.1";
    const auto answers = [&] {
        const auto v = g.snmp.walk(name);
        return v.size() == 1 && v[0].value == "plant1";
    };
    const auto rounds = [&] { return g.get("/api/v1/devices")[0]["rounds"].asUInt(); };
    ASSERT_TRUE(eventually(answers, 10));
    ASSERT_TRUE(eventually([&] { return rounds() >= 3; }));

    g.snmp.stop_snmpd();
    // The subagent notices the master is gone, and the plant's rounds go on.
    ASSERT_TRUE(eventually([&] {
        return g.metrics().find("smdgw_snmp_agentx_disconnects_total 1\n") != std::string::npos;
    }, 10)) << read_text(g.err());
    const unsigned away = rounds();
    EXPECT_TRUE(eventually([&] { return rounds() >= away + 2; }, 10))
        << "no round while snmpd was away";
    ASSERT_TRUE(g.snmp.start_snmpd()) << g.snmp.snmpd_log();
    const double started = now_s();
    ASSERT_TRUE(eventually(answers, 10)) << read_text(g.err());
    const double back = now_s() - started;
    const unsigned again = rounds();
    EXPECT_TRUE(eventually([&] { return rounds() >= again + 2; }, 10))
        << "no round after snmpd came back";
    sim.signal(SIGTERM);
    sim.wait(kTimeout);

    const std::string metrics = g.metrics();
    EXPECT_NE(metrics.find("smdgw_snmp_agentx_registrations_total 2\n"), std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("smdgw_snmp_agentx_disconnects_total 1\n"), std::string::npos);
    const std::string err = read_text(g.err());
    EXPECT_NE(err.find("snmp: lost the AgentX master at " + g.snmp.agentx()), std::string::npos)
        << err;
    std::cout << "[ figures  ] registered again " << back << " s after snmpd started\n";
    EXPECT_EQ(g.stop(), 0) << err;
}

// Alarms change while snmpd is away, twice: the notifications wait in the
// outbox and reach snmptrapd once snmpd is back, each once, in the order of
// the changes, numbered without a gap.
TEST(SnmpAgent, NotificationsMadeWhileSnmpdIsAwayArriveInOrderOnce) {
    SnmpGateway g(60);
    const auto plant = [&](const std::string& seed, std::vector<std::string> faults) {
        std::vector<std::string> argv = {POWERSIM_PATH, "--port", g.line.end_a(), "--rounds",
                                         "8", "--seed", seed};
        for (const std::string& f : faults) {
            argv.push_back("--fault");
            argv.push_back(f);
        }
        const auto r = run_process(argv);
        EXPECT_EQ(r.status, 0) << r.err;
    };
    // The alarm and state changes smdgw judged so far, as "id state".
    const auto changes = [&] {
        std::vector<std::string> out;
        std::istringstream lines(read_text(g.out()));
        std::string text;
        while (std::getline(lines, text)) {
            const Json::Value e = parse_json(text);
            if (e["event"] == "alarm")
                out.push_back(e["alarm_id"].asString() + " " + e["state"].asString());
            else if (e["event"] == "state")
                out.push_back("state " + e["state"].asString());
        }
        return out;
    };
    const auto waiting = [&] {
        const std::string m = g.metrics();
        const std::string name = "\nsmdgw_snmp_notifications_waiting ";
        const size_t at = m.find(name);
        return at == std::string::npos ? -1 : std::stoi(m.substr(at + name.size()));
    };
    // The line runs through a pseudo-terminal bridge, so the simulator can be
    // done before the gateway has judged its last rounds.
    unsigned sent = 0;
    const auto judged_all = [&] {
        return eventually([&] { return g.get("/api/v1/devices")[0]["rounds"].asUInt() >= sent; });
    };
    plant("5", {"fuse:1:2@3-4"});
    sent += 8;
    for (const std::string seed : {"6", "7"}) {
        // AgentX gives no receipt: a notification handed to snmpd in the
        // instant it stops is lost (its number leaves a gap). The outage
        // begins once every round so far is judged and snmptrapd has every
        // notification.
        ASSERT_TRUE(judged_all()) << g.get("/api/v1/devices").toStyledString();
        ASSERT_TRUE(eventually([&] { return numbered_traps(g.snmp).size() >= changes().size(); }))
            << g.snmp.trapd_log();
        g.snmp.stop_snmpd();
        ASSERT_TRUE(eventually([&] {
            return g.metrics().find("smdgw_snmp_agentx_connected 0\n") != std::string::npos;
        })) << read_text(g.err());
        const size_t before = changes().size();
        plant(seed, {"breaker-trip:1@2-3", "fuse:2:1@4-5"});
        sent += 8;
        ASSERT_TRUE(eventually([&] { return changes().size() >= before + 4; }));
        EXPECT_TRUE(eventually([&] { return waiting() >= 4; })) << g.metrics();
        ASSERT_TRUE(g.snmp.start_snmpd()) << g.snmp.snmpd_log();
        ASSERT_TRUE(eventually([&] { return waiting() == 0; }, 20)) << read_text(g.err());
    }
    ASSERT_TRUE(judged_all());
    const std::vector<std::string> judged = changes();
    ASSERT_TRUE(eventually([&] { return numbered_traps(g.snmp).size() >= judged.size(); }))
        << g.snmp.trapd_log();
    const auto traps = numbered_traps(g.snmp);
    ASSERT_EQ(traps.size(), judged.size()) << g.snmp.trapd_log();
    const unsigned long first = std::stoul(traps[0].second.value(kSequence));
    for (size_t i = 0; i < traps.size(); ++i) {
        const SnmpTrap& t = traps[i].second;
        EXPECT_EQ(std::stoul(t.value(kSequence)), first + i) << "out of order or a gap at " << i;
        const std::string& j = judged[i];
        if (j.rfind("state ", 0) == 0) {
            EXPECT_EQ(t.trap_oid, kRoot + ".0.3") << j;
        } else {
            const bool raised = j.substr(j.find(' ') + 1) == "raised";
            EXPECT_EQ(t.trap_oid, kRoot + (raised ? ".0.1" : ".0.2")) << j;
            EXPECT_EQ(t.value(kRoot + ".1.3.1.3.") + " " + (raised ? "raised" : "cleared"), j);
        }
    }
    const std::string metrics = g.metrics();
    EXPECT_NE(metrics.find("smdgw_snmp_agentx_disconnects_total 2\n"), std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("smdgw_snmp_notifications_sent_total " + std::to_string(traps.size()) +
                           "\n"),
              std::string::npos)
        << metrics;
    EXPECT_EQ(g.stop(), 0) << read_text(g.err());
}

}  // namespace

namespace {

// --check-config names what the subagent would use and refuses a sequence
// file that is not one, without connecting or writing anything.
TEST(SnmpAgent, CheckConfigSaysWhatTheSubagentWouldUse) {
    TempDir dir;
    const std::string d = dir.path().string();
    const std::vector<std::string> args = {
        "--check-config", "--config", std::string(SOURCE_DIR) + "/examples/gateway.json", "--port",
        "tcp:127.0.0.1:4001", "--snmp-agentx", "unix:" + d + "/agentx", "--snmp-state-dir", d,
        "--snmp-heartbeat", "30"};
    auto r = testsupport::run_smdgw(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("snmp: AgentX master unix:" + d + "/agentx: not there yet (smdgw waits "
                         "for snmpd with \"master agentx\"), root 1.3.6.1.4.1.8072.9999.9999.1, "
                         "heartbeat every 30 s, ping 5 s, sequence in " +
                         d + "/snmp-notification-sequence (last 0)"),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(std::filesystem::exists(d + "/net-snmp")) << "nothing is written";

    dir.write("snmp-notification-sequence", "twelve\n");
    r = testsupport::run_smdgw(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(d + "/snmp-notification-sequence: not a notification sequence file"),
              std::string::npos)
        << r.err;
}

}  // namespace
