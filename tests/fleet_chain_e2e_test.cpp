// The fleet chain on loopback: Mosquitto, VictoriaMetrics, simulated gateways
// (fleetsim, with a site on battery, a silent one and a reconnect storm) and
// the collector, stopped and started again in the middle while its session
// keeps its messages in the broker. In VictoriaMetrics every (gateway,
// pub_seq) of a record is there exactly once, and the mains failure is an
// active level-1 alarm series; with vmalert and Alertmanager on the shipped
// rules and routes, the site on battery reaches a webhook receiver.

#include <gtest/gtest.h>
#include <httplib.h>
#include <json/reader.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/free_port.h"
#include "tests/support/mqtt_broker.h"
#include "tests/support/powersim_feed.h"
#include "tests/support/pty_bridge.h"
#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"
#include "tools/smdgw/mqtt/mqtt_topic.h"

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

// Mosquitto, VictoriaMetrics and a collector on shards 0-7 (or `shards`).
struct Chain {
    testsupport::TempDir tmp;
    std::string dir = tmp.path().string();
    testsupport::MosquittoBroker broker{dir};
    Http vm{testsupport::free_tcp_port()};
    Http fleet{testsupport::free_tcp_port()};
    std::unique_ptr<Child> victoria, collector;
    std::string shards = "0-7";
    int runs = 0;

    void start() {
        ASSERT_TRUE(broker.start()) << broker.log();
        victoria = std::make_unique<Child>(
            std::vector<std::string>{"/usr/bin/victoria-metrics", "-storageDataPath=" + dir + "/vm",
                                     "-httpListenAddr=127.0.0.1:" + std::to_string(vm.port),
                                     "-search.latencyOffset=0s", "-search.disableCache",
                                     "-loggerLevel=ERROR"},
            dir + "/vm.out", dir + "/vm.err");
        ASSERT_TRUE(poll_until([&] { return vm.get("/health") == "OK"; }, 30))
            << read_text(dir + "/vm.err");
        start_collector();
    }
    void start_collector() {
        ++runs;
        collector = std::make_unique<Child>(
            std::vector<std::string>{SMDGW_FLEET_PATH, "--mqtt", broker.url(), "--shards", shards,
                                     "--client-id", "fleet-e2e", "--influx-url",
                                     "http://127.0.0.1:" + std::to_string(vm.port) + "/write",
                                     "--http", "127.0.0.1:" + std::to_string(fleet.port), "--tick",
                                     "1", "--state", dir + "/fleet.state"},
            dir + "/fleet" + std::to_string(runs) + ".out", err());
        int health = 0;
        ASSERT_TRUE(poll_until([&] { return fleet.get("/healthz", &health), health == 200; }, 30))
            << read_text(err());
    }
    std::string err() const { return dir + "/fleet" + std::to_string(runs) + ".err"; }
};

TEST(FleetChainE2E, EveryRecordOnceInVictoriaMetricsThroughACollectorRestart) {
    Chain chain;
    ASSERT_NO_FATAL_FAILURE(chain.start());
    const std::string& dir = chain.dir;
    const Http& vm = chain.vm;
    const Http& fleet = chain.fleet;
    testsupport::MosquittoBroker& broker = chain.broker;

    // 6 sites, a record every 0.3 s for 8 s, 8 shards; site0 on battery and
    // site1 silent after 2 s; every connection cut at 4 s. The fleet runs in
    // two processes of three sites each, as a fleet beyond one process's
    // open-files limit does.
    std::vector<std::unique_ptr<Child>> parts;
    for (const char* part : {"1/2", "2/2"}) {
        const std::string name = dir + "/sim" + std::string(part, 1);
        parts.push_back(std::make_unique<Child>(
            std::vector<std::string>{FLEETSIM_PATH, "--mqtt", broker.url(), "--gateways", "6",
                                     "--interval", "0.3", "--duration", "8", "--shards", "8",
                                     "--on-battery", "1", "--silent", "1", "--fault-at", "2",
                                     "--storm-at", "4", "--reconnect-max", "10", "--per-gateway",
                                     "--part", part},
            name + ".out", name + ".err"));
    }

    // The collector goes away in the middle; its session keeps the messages.
    ASSERT_TRUE(poll_until([&] { return metric(fleet.get("/metrics"), "smdgw_fleet_messages_total") >= 30; }, 30));
    chain.collector->signal(SIGTERM);
    ASSERT_EQ(chain.collector->wait(30), 0) << read_text(chain.err());
    ASSERT_NO_FATAL_FAILURE(chain.start_collector());

    Json::Value records(Json::objectValue);
    for (const char* part : {"1", "2"}) {
        const int status = parts[static_cast<size_t>(*part - '1')]->wait(120);
        const std::string out = read_text(dir + "/sim" + part + ".out");
        ASSERT_EQ(status, 0) << out << read_text(dir + "/sim" + part + ".err");
        const Json::Value summary = parse(out);
        EXPECT_EQ(summary["gateways"].asUInt(), 3u) << out;
        for (const std::string& gw : summary["records"].getMemberNames())
            records[gw] = summary["records"][gw];
    }
    // The two parts are the whole fleet: its IDs, and its faults once.
    ASSERT_EQ(records.getMemberNames(),
              (std::vector<std::string>{"site0", "site1", "site2", "site3", "site4", "site5"}));
    EXPECT_NE(read_text(dir + "/sim1.err").find("1 sites on battery, 1 silent"), std::string::npos);
    EXPECT_NE(read_text(dir + "/sim2.err").find("0 sites on battery, 0 silent"), std::string::npos);

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
    }() << read_text(chain.err());

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
    chain.collector->signal(SIGTERM);
    EXPECT_EQ(chain.collector->wait(30), 0);
}

TEST(FleetChainE2E, ARealGatewayInTheLargeFleetProfileLandsThroughTheCollector) {
    Chain chain;
    chain.shards = "0-63";
    ASSERT_NO_FATAL_FAILURE(chain.start());
    const std::string shard = smdgw::shard_level(smdgw::topic_shard("site7", 64));
    testsupport::MqttSubscriber sub(chain.broker.port(), "test-sub", "smdgw/#");
    ASSERT_TRUE(sub.subscribed());
    testsupport::PtyBridge line;
    Child gw({SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config",
              std::string(SOURCE_DIR) + "/examples/demo.json", "--port", line.end_b(), "--count",
              "4", "--mqtt", chain.broker.url(), "--mqtt-outbox", chain.dir + "/outbox.db",
              "--gateway-id", "site7", "--mqtt-fleet-profile", "--mqtt-payload", "compact"},
             chain.dir + "/gw.out", chain.dir + "/gw.err");
    std::string error;
    ASSERT_TRUE(testsupport::feed_rounds(line, "4", "3", {}, &error)) << error;
    ASSERT_EQ(gw.wait(60), 0) << read_text(chain.dir + "/gw.err");

    // Its bus voltage, by a PromQL query.
    Json::Value v;
    EXPECT_TRUE(poll_until(
        [&] {
            v = chain.vm.query("veltra_dc_v{gateway=\"site7\",panel=\"1\"}");
            return v.size() == 1;
        },
        30))
        << read_text(chain.err());
    EXPECT_GT(std::stod(v[0]["value"][1].asString()), 40.0) << v.toStyledString();

    // Topics below the shard level; the record is not retained, the state is.
    const std::string prefix = "smdgw/" + shard + "/site7";
    ASSERT_TRUE(sub.wait_for(
        [&](const std::vector<testsupport::MqttMessage>& msgs) {
            return !msgs.empty() && msgs.back().topic == prefix + "/status" &&
                   msgs.back().payload == "offline";
        },
        30));
    testsupport::MqttSubscriber late(chain.broker.port(), "test-late", prefix + "/#");
    ASSERT_TRUE(late.subscribed());
    ASSERT_TRUE(late.wait_for(
        [&](const std::vector<testsupport::MqttMessage>& msgs) {
            bool status = false, state = false;
            for (const auto& m : msgs) {
                status = status || m.topic == prefix + "/status";
                state = state || m.topic == prefix + "/plant1/state";
            }
            return status && state;
        },
        30));
    for (const auto& m : late.messages())
        EXPECT_EQ(m.topic.find("/record"), std::string::npos) << m.topic << " was retained";
}

// The alert path as shipped: the rules (examples/fleet/vmalert-rules.yml)
// evaluated by vmalert against VictoriaMetrics, routed by Alertmanager
// (examples/fleet/alertmanager.yml, its receiver's URL pointed at this test)
// to a webhook receiver. A site put on battery by fleetsim raises
// "SiteOnBattery" there, with the site's labels.
TEST(FleetChainE2E, ASiteOnBatteryReachesTheWebhookThroughVmalertAndAlertmanager) {
    Chain chain;
    ASSERT_NO_FATAL_FAILURE(chain.start());
    const std::string& dir = chain.dir;

    // The operations centre's webhook receiver.
    httplib::Server receiver;
    std::mutex mutex;
    std::vector<std::string> posts;
    receiver.Post("/alerts", [&](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard<std::mutex> lock(mutex);
        posts.push_back(req.body);
        res.status = 200;
    });
    const int receiver_port = receiver.bind_to_any_port("127.0.0.1");
    ASSERT_GT(receiver_port, 0);
    std::thread serving([&] { receiver.listen_after_bind(); });

    std::string routes = read_text(std::string(SOURCE_DIR) + "/examples/fleet/alertmanager.yml");
    const std::string shipped_url = "http://127.0.0.1:9099/alerts";
    const size_t at = routes.find(shipped_url);
    ASSERT_NE(at, std::string::npos) << "the shipped receiver URL changed";
    routes.replace(at, shipped_url.size(),
                   "http://127.0.0.1:" + std::to_string(receiver_port) + "/alerts");
    std::ofstream(dir + "/alertmanager.yml") << routes;
    const int am_port = testsupport::free_tcp_port();
    Child alertmanager({"/usr/bin/prometheus-alertmanager", "--config.file=" + dir + "/alertmanager.yml",
                        "--storage.path=" + dir + "/am", "--cluster.listen-address=",
                        "--web.listen-address=127.0.0.1:" + std::to_string(am_port)},
                       dir + "/am.out", dir + "/am.err");
    const Http am{am_port};
    ASSERT_TRUE(poll_until([&] { return !am.get("/-/ready").empty(); }, 30)) << read_text(dir + "/am.err");
    const Http vmalert_http{testsupport::free_tcp_port()};
    const int vmalert_port = vmalert_http.port;
    Child vmalert({"/usr/bin/vmalert", "-rule=" + std::string(SOURCE_DIR) + "/examples/fleet/vmalert-rules.yml",
                   "-datasource.url=http://127.0.0.1:" + std::to_string(chain.vm.port),
                   "-notifier.url=http://127.0.0.1:" + std::to_string(am_port),
                   "-evaluationInterval=1s",
                   "-httpListenAddr=127.0.0.1:" + std::to_string(vmalert_port),
                   "-loggerLevel=ERROR"},
                  dir + "/vmalert.out", dir + "/vmalert.err");

    // Three sites, a record every half second; site0's mains fail after 1 s.
    Child sim({FLEETSIM_PATH, "--mqtt", chain.broker.url(), "--gateways", "3", "--interval", "0.5",
               "--duration", "90", "--shards", "8", "--on-battery", "1", "--fault-at", "1",
               "--per-gateway"},
              dir + "/sim.out", dir + "/sim.err");
    Json::Value alert;
    const bool came = poll_until(
        [&] {
            std::lock_guard<std::mutex> lock(mutex);
            for (const std::string& body : posts) {
                const Json::Value post = parse(body);
                for (const Json::Value& a : post["alerts"])
                    if (a["labels"]["alertname"] == "SiteOnBattery" && a["status"] == "firing")
                        alert = a;
            }
            return !alert.isNull();
        },
        90);
    EXPECT_TRUE(came) << "posts: " << [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return std::to_string(posts.size()) + (posts.empty() ? "" : " " + posts[0]);
    }() << "\nseries: "
                      << chain.vm.query("smdgw_alarm_active == 1").toStyledString()
                      << "vmalert: " << vmalert_http.get("/api/v1/alerts")
                      << "\nalertmanager: " << am.get("/api/v2/alerts") << "\n"
                      << read_text(dir + "/vmalert.err") << read_text(dir + "/am.err");
    EXPECT_EQ(alert["labels"]["gateway"].asString(), "site0") << alert.toStyledString();
    EXPECT_EQ(alert["labels"]["severity"].asString(), "critical");
    EXPECT_NE(alert["annotations"]["summary"].asString().find("on battery"), std::string::npos);

    sim.signal(SIGTERM);
    sim.wait(30);
    vmalert.signal(SIGTERM);
    vmalert.wait(30);
    alertmanager.signal(SIGTERM);
    alertmanager.wait(30);
    receiver.stop();
    serving.join();
    chain.collector->signal(SIGTERM);
    EXPECT_EQ(chain.collector->wait(30), 0);
}

}  // namespace
