// smdgw --mqtt over TLS with a CA and certificates the test makes with
// openssl (a broker whose certificate another CA signed is refused), and an
// outbox at its bound: the file with its log and reserve stays within it,
// the oldest records go first, alarms stay, and the number dropped is counted
// and published once a broker is there, after which the file shrinks.

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include <filesystem>
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
    EXPECT_EQ(count_rows(d + "/bad.db", "target LIKE '%/record'"), 3);
    EXPECT_FALSE(mqtt_stats(bad.out)["connected"].asBool());
    EXPECT_EQ(mqtt_stats(bad.out)["acknowledged"].asUInt64(), 0u);
    for (const auto& m : sub.messages()) EXPECT_EQ(m.topic.rfind("smdgw/tls2", 0), std::string::npos);
}

TEST(MqttOutboxBound, OldestRecordsGoFirstAlarmsStayTheFileKeepsItsBoundAndTheDropsArePublished) {
    TempDir dir;
    const std::string d = dir.path().string();
    // Forty rounds of forty modules (about 9 kB a record); an alarm raised
    // in round 2 and cleared in round 4.
    const std::string cap =
        capture(dir, "40", {"--modules", "40", "--fault", "breaker-trip:1@2-3"});
    const std::string closed = "mqtt://127.0.0.1:" + std::to_string(testsupport::free_loopback_port());
    const std::string db = d + "/bound.db";
    const int64_t bound = 256 * 1024;
    const auto r = gateway(dir, cap,
                           {"--mqtt", closed, "--mqtt-outbox", db, "--mqtt-outbox-max", "256k",
                            "--gateway-id", "gw3"});
    ASSERT_EQ(r.status, 0) << r.err;
    // What the bound counts: the file, its log and the reserve beside it.
    const auto size = [](const std::string& p) {
        std::error_code ec;
        const auto n = std::filesystem::file_size(p, ec);
        return ec ? int64_t{0} : static_cast<int64_t>(n);
    };
    EXPECT_LE(size(db) + size(db + "-wal") + size(db + "-mqtt-reserve"), bound);
    EXPECT_GT(size(db + "-mqtt-reserve"), 0);
    const std::string kept = sql_text(
        db, "SELECT group_concat(json_extract(payload, '$.pub_seq')) FROM (SELECT payload FROM "
            "mqtt_outbox WHERE target LIKE '%/record' ORDER BY id)");
    const int64_t kept_records = count_rows(db, "target LIKE '%/record'");
    ASSERT_GT(kept_records, 2);
    ASSERT_LT(kept_records, 40);
    // The newest records, in order.
    std::string newest;
    for (int64_t seq = 41 - kept_records; seq <= 40; ++seq)
        newest += (newest.empty() ? "" : ",") + std::to_string(seq);
    EXPECT_EQ(kept, newest);
    EXPECT_EQ(count_rows(db, "target LIKE '%/alarm'"), 2);
    EXPECT_EQ(count_rows(db, "target LIKE '%/alarms'"), 2);
    const std::string dropped = std::to_string(40 - kept_records);
    EXPECT_EQ(sql_text(db, "SELECT total FROM mqtt_drops WHERE kind = 'record'"), dropped);
    // Every drop announced: the notices' counts add up, with their time span.
    EXPECT_EQ(sql_text(db, "SELECT sum(json_extract(value, '$.count')) FROM mqtt_outbox, "
                           "json_each(json_extract(payload, '$.dropped')) WHERE target = "
                           "'smdgw/gw3/dropped' AND json_extract(value, '$.kind') = 'record'"),
              dropped);
    EXPECT_EQ(sql_text(db, "SELECT count(*) FROM mqtt_outbox, json_each(json_extract(payload, "
                           "'$.dropped')) WHERE target = 'smdgw/gw3/dropped' AND "
                           "json_extract(value, '$.first') > json_extract(value, '$.last')"),
              "0");
    const Json::Value stats = mqtt_stats(r.out);
    EXPECT_EQ(stats["dropped"].asString(), dropped);
    EXPECT_EQ(stats["dropped_by_kind"]["record"].asString(), dropped);
    EXPECT_LE(stats["outbox_disk_bytes"].asInt64(), bound);

    // When a broker is there, what was kept arrives in order, with the count;
    // the file shrinks as the messages leave.
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
    std::string records;
    int64_t announced = 0;
    for (const auto& m : sub.messages()) {
        if (m.topic == "smdgw/gw3/plant1/record")
            records += (records.empty() ? "" : ",") + m.json()["pub_seq"].asString();
        if (m.topic != "smdgw/gw3/dropped") continue;
        const Json::Value notice = m.json();
        for (const auto& k : notice["dropped"])
            if (k["kind"].asString() == "record") announced += k["count"].asInt64();
    }
    EXPECT_EQ(records, newest);
    EXPECT_EQ(std::to_string(announced), dropped);
    EXPECT_EQ(count_rows(db, "1"), 0);
    EXPECT_LT(size(db), 64 * 1024);
}

// --mqtt-record-interval on a replay in line time (a round every 1.5 s): a
// record at most every 10 s, each the newest round, the last one at the stop;
// alarms at once.
TEST(MqttRecordInterval, TheNewestRoundAtMostEveryIntervalAndAlarmsAtOnce) {
    TempDir dir;
    const std::string d = dir.path().string();
    const std::string cap = capture(dir, "20", {"--fault", "breaker-trip:1@5-6"});
    const std::string closed = "mqtt://127.0.0.1:" + std::to_string(testsupport::free_loopback_port());
    const std::string db = d + "/paced.db";
    const auto r = gateway(dir, cap,
                           {"--clock-start", "2026-01-01T00:00:00Z", "--mqtt", closed,
                            "--mqtt-outbox", db, "--mqtt-record-interval", "10"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<Json::Value> rounds;
    for (const auto& l : json_lines(r.out))
        if (l["event"].asString() == "record") rounds.push_back(l);
    ASSERT_EQ(rounds.size(), 20u);
    const std::string times = sql_text(
        db, "SELECT group_concat(CAST(round((julianday(json_extract(payload, '$.time')) - "
            "2461041.5) * 86400) AS INTEGER)) FROM (SELECT payload FROM mqtt_outbox WHERE "
            "target LIKE '%/record' ORDER BY id)");
    std::vector<int64_t> at;
    for (size_t from = 0; from < times.size();) {
        const size_t comma = std::min(times.find(',', from), times.size());
        at.push_back(std::stoll(times.substr(from, comma - from)));
        from = comma + 1;
    }
    // 20 rounds over about 30 s of line time: the first, then one each 10 s,
    // the newest at the stop.
    ASSERT_GE(at.size(), 3u) << times;
    EXPECT_LE(static_cast<int64_t>(at.size()), (at.back() - at.front()) / 10 + 2) << times;
    for (size_t k = 1; k + 1 < at.size(); ++k) EXPECT_GE(at[k] - at[k - 1], 10) << times;
    // The newest round went last: the record of the last round read.
    Json::Value last = Json::Value(Json::objectValue);
    const std::string payload = sql_text(
        db, "SELECT payload FROM mqtt_outbox WHERE target LIKE '%/record' ORDER BY id DESC LIMIT 1");
    Json::Reader().parse(payload, last);
    EXPECT_EQ(last["record"], rounds.back()["record"]);
    EXPECT_EQ(count_rows(db, "target LIKE '%/alarm'"), 2);
}

}  // namespace
