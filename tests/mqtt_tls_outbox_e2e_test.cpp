// smdgw --mqtt over TLS with a CA and certificates the test makes with
// openssl (a broker whose certificate another CA signed is refused), and an
// outbox at its bound: the oldest records go first, alarms stay, and the
// number dropped is counted and published once a broker is there.

#include <gtest/gtest.h>
#include <json/value.h>

#include <string>
#include <vector>

#include "tests/support/mqtt_broker.h"
#include "tests/support/run_process.h"
#include "tests/support/smdgw_run.h"
#include "tests/support/sql_text.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::json_lines;
using testsupport::MosquittoBroker;
using testsupport::MqttMessage;
using testsupport::MqttSubscriber;
using testsupport::run_process;
using testsupport::sql_text;
using testsupport::TempDir;

constexpr double kWait = 30.0;
const std::string kDemo = std::string(SOURCE_DIR) + "/examples/demo.json";

// openssl with its arguments; the test stops at the first failure.
void openssl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto r = run_process(argv);
    ASSERT_EQ(r.status, 0) << r.err;
}

// A self-signed CA: DIR/NAME.pem and DIR/NAME.key (P-256, quick to make).
void make_ca(const std::string& dir, const std::string& name) {
    openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-keyout", dir + "/" + name + ".key", "-out", dir + "/" + name + ".pem",
             "-days", "2", "-subj", "/CN=" + name});
}

// A certificate signed by the CA, for 127.0.0.1.
void make_cert(const std::string& dir, const std::string& ca, const std::string& name,
               const TempDir& tmp) {
    const std::string base = dir + "/" + name;
    openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", base + ".key", "-out", base + ".csr", "-subj", "/CN=" + name});
    const std::string ext = tmp.write_s(name + ".ext", "subjectAltName=IP:127.0.0.1\n");
    openssl({"x509", "-req", "-in", base + ".csr", "-CA", dir + "/" + ca + ".pem", "-CAkey",
             dir + "/" + ca + ".key", "-CAcreateserial", "-out", base + ".pem", "-days", "2",
             "-extfile", ext});
}

std::string capture(const TempDir& dir, const std::string& rounds,
                    const std::vector<std::string>& extra = {}) {
    const std::string cap = (dir.path() / ("sim" + rounds + ".cap")).string();
    std::vector<std::string> argv = {POWERSIM_PATH, "--out", cap, "--rounds", rounds, "--seed", "21"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    const auto r = run_process(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    return cap;
}

testsupport::ProcessResult gateway(const TempDir& dir, const std::string& cap,
                                   const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"--config", kDemo, "--replay", cap, "--log",
                                     (dir.path() / "driver.log").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return testsupport::run_smdgw(args);
}

Json::Value mqtt_stats(const std::string& out) {
    for (const auto& l : json_lines(out))
        if (l["event"].asString() == "stats" && l["service"].asString() == "mqtt") return l;
    return Json::Value();
}

int64_t count_rows(const std::string& db, const std::string& where) {
    return std::stoll("0" + sql_text(db, "SELECT count(*) FROM mqtt_outbox WHERE " + where));
}

TEST(MqttTls, CertificatesMadeByTheTestAreCheckedAndAWrongCaIsRefused) {
    TempDir dir;
    const std::string d = dir.path().string();
    make_ca(d, "ca");
    make_ca(d, "other-ca");
    make_cert(d, "ca", "broker", dir);
    make_cert(d, "ca", "gateway", dir);
    const int tls_port = testsupport::free_loopback_port();
    // The plain listener is the test's; the gateway must show a certificate.
    MosquittoBroker broker(d, "listener " + std::to_string(tls_port) + " 127.0.0.1\n" +
                                  "cafile " + d + "/ca.pem\ncertfile " + d +
                                  "/broker.pem\nkeyfile " + d + "/broker.key\n" +
                                  "require_certificate true\n");
    ASSERT_TRUE(broker.start()) << broker.log();
    MqttSubscriber sub(broker.port(), "test-sub", "smdgw/#");
    ASSERT_TRUE(sub.subscribed());
    const std::string cap = capture(dir, "3");
    const std::string url = "mqtts://127.0.0.1:" + std::to_string(tls_port);

    const auto ok = gateway(dir, cap,
                            {"--mqtt", url, "--mqtt-ca", d + "/ca.pem", "--mqtt-cert",
                             d + "/gateway.pem", "--mqtt-key", d + "/gateway.key",
                             "--mqtt-outbox", d + "/good.db", "--gateway-id", "tls1"});
    ASSERT_EQ(ok.status, 0) << ok.err;
    EXPECT_TRUE(sub.wait_for(
        [](const std::vector<MqttMessage>& msgs) {
            size_t n = 0;
            for (const auto& m : msgs) n += m.topic == "smdgw/tls1/plant1/record";
            return n >= 3;
        },
        kWait))
        << ok.err << broker.log();
    EXPECT_EQ(mqtt_stats(ok.out)["outbox_messages"].asUInt64(), 0u) << ok.out;
    EXPECT_EQ(ok.err.find("mqtt-insecure"), std::string::npos);

    // Signed by another CA: no connection, nothing sent, everything kept.
    const auto bad = gateway(dir, cap,
                             {"--mqtt", url, "--mqtt-ca", d + "/other-ca.pem", "--mqtt-cert",
                              d + "/gateway.pem", "--mqtt-key", d + "/gateway.key",
                              "--mqtt-outbox", d + "/bad.db", "--gateway-id", "tls2"});
    ASSERT_EQ(bad.status, 0) << bad.err;
    EXPECT_NE(bad.err.find("certificate verify failed"), std::string::npos) << bad.err;
    EXPECT_EQ(bad.err.find("connected to"), std::string::npos) << bad.err;
    EXPECT_EQ(count_rows(d + "/bad.db", "topic LIKE '%/record'"), 3);
    EXPECT_FALSE(mqtt_stats(bad.out)["connected"].asBool());
    EXPECT_EQ(mqtt_stats(bad.out)["acknowledged"].asUInt64(), 0u);
    for (const auto& m : sub.messages()) EXPECT_EQ(m.topic.rfind("smdgw/tls2", 0), std::string::npos);
}

TEST(MqttOutboxBound, OldestRecordsGoFirstAlarmsStayAndTheDropsArePublished) {
    TempDir dir;
    const std::string d = dir.path().string();
    // Eight rounds; an alarm raised in round 2 and cleared in round 4.
    const std::string cap = capture(dir, "8", {"--fault", "breaker-trip:1@2-3"});
    const std::string closed = "mqtt://127.0.0.1:" + std::to_string(testsupport::free_loopback_port());

    // How big each message is, from an outbox without a bound.
    ASSERT_EQ(gateway(dir, cap, {"--mqtt", closed, "--mqtt-outbox", d + "/measure.db"}).status, 0);
    const int64_t record_bytes = std::stoll(sql_text(
        d + "/measure.db",
        "SELECT max(length(CAST(topic AS BLOB)) + length(CAST(payload AS BLOB))) FROM "
        "mqtt_outbox WHERE topic LIKE '%/record'"));
    const int64_t other_bytes = std::stoll(sql_text(
        d + "/measure.db",
        "SELECT sum(length(CAST(topic AS BLOB)) + length(CAST(payload AS BLOB))) FROM "
        "mqtt_outbox WHERE topic NOT LIKE '%/record'"));
    ASSERT_EQ(count_rows(d + "/measure.db", "topic LIKE '%/record'"), 8);

    // Room for everything but records, the dropped notice and three records and a half.
    const int64_t bound = other_bytes + 1024 + record_bytes * 7 / 2;
    const std::string db = d + "/bound.db";
    const auto r = gateway(dir, cap,
                           {"--mqtt", closed, "--mqtt-outbox", db, "--mqtt-outbox-max",
                            std::to_string(bound), "--gateway-id", "gw3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sql_text(db, "SELECT group_concat(json_extract(payload, '$.pub_seq')) FROM "
                           "(SELECT payload FROM mqtt_outbox WHERE topic LIKE '%/record' "
                           "ORDER BY id)"),
              "6,7,8");
    EXPECT_EQ(count_rows(db, "topic LIKE '%/alarm'"), 2);
    EXPECT_EQ(count_rows(db, "topic LIKE '%/alarms'"), 2);
    EXPECT_EQ(sql_text(db, "SELECT value FROM mqtt_meta WHERE name = 'dropped_total'"), "5");
    EXPECT_EQ(sql_text(db, "SELECT json_extract(payload, '$.dropped_total') FROM mqtt_outbox "
                           "WHERE topic = 'smdgw/gw3/dropped'"),
              "5");
    EXPECT_LE(std::stoll(sql_text(db, "SELECT sum(length(CAST(topic AS BLOB)) + "
                                      "length(CAST(payload AS BLOB))) FROM mqtt_outbox")),
              bound);
    const Json::Value stats = mqtt_stats(r.out);
    EXPECT_EQ(stats["dropped"].asUInt64(), 5u);
    EXPECT_LE(stats["outbox_bytes"].asInt64(), bound);

    // When a broker is there, what was kept arrives in order, with the count.
    MosquittoBroker broker(d);
    ASSERT_TRUE(broker.start()) << broker.log();
    MqttSubscriber sub(broker.port(), "test-sub", "smdgw/#");
    ASSERT_TRUE(sub.subscribed());
    const auto later = gateway(dir, dir.write_s("empty.cap", ""),
                               {"--mqtt", broker.url(), "--mqtt-outbox", db, "--gateway-id", "gw3"});
    ASSERT_EQ(later.status, 0) << later.err;
    ASSERT_TRUE(sub.wait_for(
        [](const std::vector<MqttMessage>& msgs) {
            return !msgs.empty() && msgs.back().payload == "offline";
        },
        kWait));
    std::vector<int64_t> records;
    int64_t dropped = -1;
    for (const auto& m : sub.messages()) {
        if (m.topic == "smdgw/gw3/plant1/record") records.push_back(m.json()["pub_seq"].asInt64());
        if (m.topic == "smdgw/gw3/dropped") dropped = m.json()["dropped_total"].asInt64();
    }
    EXPECT_EQ(records, (std::vector<int64_t>{6, 7, 8}));
    EXPECT_EQ(dropped, 5);
}

}  // namespace
