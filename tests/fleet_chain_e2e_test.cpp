// The fleet chain on loopback: Mosquitto, VictoriaMetrics, simulated gateways
// (fleetsim, with a site on battery, a silent one and a reconnect storm) and
// the collector, stopped and started again in the middle while its session
// keeps its messages in the broker. In VictoriaMetrics every (gateway,
// pub_seq) of a record is there exactly once, and the mains failure is an
// active level-1 alarm series.

#include <gtest/gtest.h>
#include <httplib.h>
#include <json/reader.h>
#include <signal.h>

#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/free_port.h"
#include "tests/support/mqtt_broker.h"
#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::Child;
using testsupport::read_text;

Json::Value parse(const std::string& text) {
    Json::Value v;
    std::istringstream in(text);
    Json::parseFromStream(Json::CharReaderBuilder(), in, &v, nullptr);
    return v;
}

// Polls `check` every 100 ms until it holds or timeout_s passed (a safety net).
template <class F>
bool poll_until(F check, double timeout_s) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    while (std::chrono::steady_clock::now() < end) {
        if (check()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return check();
}

struct Http {
    int port;
    std::string get(const std::string& path, int* status = nullptr) const {
        httplib::Client c("127.0.0.1", port);
        c.set_connection_timeout(2);
        c.set_read_timeout(10);
        auto r = c.Get(path);
        if (status) *status = r ? r->status : -1;
        return r ? r->body : "";
    }
    // An instant PromQL query's result vector.
    Json::Value query(const std::string& promql) const {
        return parse(get("/api/v1/query?query=" + httplib::detail::encode_query_param(promql)))
            ["data"]["result"];
    }
};

// A metric of the collector's /metrics, or -1.
double metric(const std::string& text, const std::string& name) {
    const size_t at = text.find("\n" + name + " ");
    return at == std::string::npos ? -1 : std::stod(text.substr(at + name.size() + 2));
}

std::unique_ptr<Child> start_collector(const std::string& dir, const std::string& mqtt,
                                       int vm_port, int http_port, int run) {
    return std::make_unique<Child>(
        std::vector<std::string>{SMDGW_FLEET_PATH, "--mqtt", mqtt, "--shards", "0-7",
                                 "--client-id", "fleet-e2e", "--influx-url",
                                 "http://127.0.0.1:" + std::to_string(vm_port) + "/write",
                                 "--http", "127.0.0.1:" + std::to_string(http_port), "--tick", "1"},
        dir + "/fleet" + std::to_string(run) + ".out", dir + "/fleet" + std::to_string(run) + ".err");
}

TEST(FleetChainE2E, EveryRecordOnceInVictoriaMetricsThroughACollectorRestart) {
    testsupport::TempDir tmp;
    const std::string dir = tmp.path().string();
    testsupport::MosquittoBroker broker(dir);
    ASSERT_TRUE(broker.start()) << broker.log();

    const Http vm{testsupport::free_tcp_port()};
    Child victoria({"/usr/bin/victoria-metrics", "-storageDataPath=" + dir + "/vm",
                    "-httpListenAddr=127.0.0.1:" + std::to_string(vm.port),
                    "-search.latencyOffset=0s", "-search.disableCache", "-loggerLevel=ERROR"},
                   dir + "/vm.out", dir + "/vm.err");
    ASSERT_TRUE(poll_until([&] { return vm.get("/health") == "OK"; }, 30))
        << read_text(dir + "/vm.err");

    const Http fleet{testsupport::free_tcp_port()};
    auto collector = start_collector(dir, broker.url(), vm.port, fleet.port, 1);
    int health = 0;
    ASSERT_TRUE(poll_until([&] { return fleet.get("/healthz", &health), health == 200; }, 30))
        << read_text(dir + "/fleet1.err");

    // 6 sites, a record every 0.3 s for 8 s, 8 shards; site0 on battery and
    // site1 silent after 2 s; every connection cut at 4 s.
    Child sim({FLEETSIM_PATH, "--mqtt", broker.url(), "--gateways", "6", "--interval", "0.3",
               "--duration", "8", "--shards", "8", "--on-battery", "1", "--silent", "1",
               "--fault-at", "2", "--storm-at", "4", "--per-gateway"},
              dir + "/sim.out", dir + "/sim.err");

    // The collector goes away in the middle; its session keeps the messages.
    ASSERT_TRUE(poll_until([&] { return metric(fleet.get("/metrics"), "smdgw_fleet_messages_total") >= 30; }, 30));
    collector->signal(SIGTERM);
    ASSERT_EQ(collector->wait(30), 0) << read_text(dir + "/fleet1.err");
    collector = start_collector(dir, broker.url(), vm.port, fleet.port, 2);

    ASSERT_EQ(sim.wait(120), 0) << read_text(dir + "/sim.out") << read_text(dir + "/sim.err");
    const Json::Value summary = parse(read_text(dir + "/sim.out"));
    const Json::Value& records = summary["records"];
    ASSERT_EQ(records.size(), 6u) << read_text(dir + "/sim.out");

    // Every record of every site once: as many samples as the site made, and
    // their pub_seq values add up to 1 + 2 + ... + n.
    std::map<std::string, std::string> want, got;
    for (const std::string& gw : records.getMemberNames()) {
        const uint64_t n = records[gw].asUInt64();
        want[gw] = std::to_string(n) + " " + std::to_string(n * (n + 1) / 2);
    }
    const bool all = poll_until(
        [&] {
            got.clear();
            const Json::Value count = vm.query("count_over_time(veltra_round_pub_seq[1h])");
            const Json::Value sum = vm.query("sum_over_time(veltra_round_pub_seq[1h])");
            for (const Json::Value& c : count)
                got[c["metric"]["gateway"].asString()] = c["value"][1].asString();
            for (const Json::Value& s : sum)
                got[s["metric"]["gateway"].asString()] += " " + s["value"][1].asString();
            return got == want;
        },
        60);
    EXPECT_TRUE(all) << "want vs got per gateway:\n" << [&] {
        std::string t;
        for (const auto& kv : want) t += kv.first + ": " + kv.second + " | " + got[kv.first] + "\n";
        return t;
    }() << read_text(dir + "/fleet2.err");

    // The site on battery: its mains failure is an active level-1 alarm.
    Json::Value alarm;
    EXPECT_TRUE(poll_until(
        [&] {
            alarm = vm.query("smdgw_alarm_active{alarm_id=\"419415001\",level=\"1\"} == 1");
            return alarm.size() == 1;
        },
        30))
        << alarm.toStyledString();
    EXPECT_EQ(alarm[0]["metric"]["gateway"].asString(), "site0");
    EXPECT_EQ(alarm[0]["metric"]["site"].asString(), "site0");
    // The bus voltage of every site that spoke after the storm reached it too.
    EXPECT_EQ(vm.query("last_over_time(veltra_dc_v[1h])").size(), 6u);

    const std::string m = fleet.get("/metrics");
    EXPECT_EQ(metric(m, "smdgw_fleet_gaps_total"), 0) << m;
    EXPECT_EQ(metric(m, "smdgw_fleet_unreadable_total"), 0) << m;
    EXPECT_EQ(metric(m, "smdgw_fleet_buffer_dropped_lines_total"), 0) << m;
    EXPECT_EQ(metric(m, "smdgw_fleet_gateways"), 6) << m;
    collector->signal(SIGTERM);
    EXPECT_EQ(collector->wait(30), 0);
}

}  // namespace
