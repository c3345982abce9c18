// The --mqtt inputs a user types: broker URLs, sizes, topic levels, the
// credentials file (refused when others may read it, the password never in
// a message), and the usage errors smdgw gives for them.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tests/support/smdgw_run.h"
#include "tests/support/sql_text.h"
#include "tests/support/temp_dir.h"
#include "tools/smdgw/core/size_text.h"
#include "tools/smdgw/mqtt/mqtt_options.h"
#include "tools/smdgw/mqtt/mqtt_topic.h"

namespace {

using smdgw::BrokerUrl;
using testsupport::TempDir;

TEST(MqttOptions, BrokerUrls) {
    struct Case {
        const char* text;
        bool ok;
        bool tls;
        const char* host;
        int port;
    };
    //  text                              ok     tls    host            port
    const Case cases[] = {
        {"mqtt://broker.example.net", true, false, "broker.example.net", 1883},
        {"mqtts://broker.example.net", true, true, "broker.example.net", 8883},
        {"mqtt://127.0.0.1:18830", true, false, "127.0.0.1", 18830},
        {"mqtts://[::1]:8884/", true, true, "::1", 8884},
        {"mqtt://[::1]", true, false, "::1", 1883},
        {"tcp://broker:1883", false, false, "", 0},
        {"mqtt://", false, false, "", 0},
        {"mqtt://broker:0", false, false, "", 0},
        {"mqtt://broker:65536", false, false, "", 0},
        {"mqtt://broker:", false, false, "", 0},
        {"mqtt://broker:1883x", false, false, "", 0},
        {"mqtt://user:pw@broker", false, false, "", 0},
        {"mqtt://broker/topic", false, false, "", 0},
        {"mqtt://[::1", false, false, "", 0},
        {"mqtt://[::1]x", false, false, "", 0},
    };
    for (const Case& c : cases) {
        BrokerUrl url;
        std::string error;
        EXPECT_EQ(smdgw::parse_broker_url(c.text, url, error), c.ok) << c.text << ": " << error;
        if (!c.ok) {
            EXPECT_FALSE(error.empty()) << c.text;
            continue;
        }
        EXPECT_EQ(url.tls, c.tls) << c.text;
        EXPECT_EQ(url.host, c.host) << c.text;
        EXPECT_EQ(url.port, c.port) << c.text;
    }
}

TEST(MqttOptions, Sizes) {
    const std::pair<const char*, uint64_t> good[] = {
        {"1", 1}, {"4096", 4096}, {"512k", 512u << 10}, {"64M", 64ull << 20}, {"1G", 1ull << 30},
    };
    for (const auto& g : good) {
        uint64_t v = 0;
        EXPECT_TRUE(smdgw::parse_size_text(g.first, v)) << g.first;
        EXPECT_EQ(v, g.second) << g.first;
    }
    for (const char* bad : {"", "0", "G", "1g", "1.5G", "-1", "1 G", "99999999999999999999",
                            "20000000000T"}) {
        uint64_t v = 0;
        EXPECT_FALSE(smdgw::parse_size_text(bad, v)) << bad;
    }
}

TEST(MqttTopics, NamesBecomeOneLevel) {
    const std::pair<const char*, const char*> cases[] = {
        {"plant1", "plant1"},       {"plant/1", "plant%2F1"},   {"a+b#c", "a%2Bb%23c"},
        {"100%", "100%25"},         {"$SYS", "%24SYS"},         {"a$b", "a$b"},
        {"Ünterwerk", "Ünterwerk"}, {"tab\there", "tab%09here"},
    };
    for (const auto& c : cases) EXPECT_EQ(smdgw::encode_topic_level(c.first), c.second);
    EXPECT_EQ(smdgw::device_topic("smdgw/gw", "site/a", smdgw::TopicKind::Alarms),
              "smdgw/gw/site%2Fa/alarms");
    std::string error;
    for (const char* bad : {"", "a/#", "a/+/b", "a/", "/a", "a//b"})
        EXPECT_FALSE(smdgw::check_topic_prefix(bad, error)) << bad;
    EXPECT_TRUE(smdgw::check_topic_prefix("fleet/north/site-7", error));
}

TEST(MqttOptions, CredentialsFile) {
    TempDir dir;
    const std::string path = dir.write_s("auth", "gateway-7\ns3cret pass\n");
    smdgw::Credentials c;
    std::string error;
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    EXPECT_FALSE(smdgw::read_credentials_file(path, c, error));
    EXPECT_NE(error.find("others"), std::string::npos) << error;
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(smdgw::read_credentials_file(path, c, error)) << error;
    EXPECT_EQ(c.username, "gateway-7");
    EXPECT_EQ(c.password, "s3cret pass");

    const std::string crlf = dir.write_s("crlf", "u\r\np\r\n");
    ASSERT_EQ(::chmod(crlf.c_str(), 0600), 0);
    ASSERT_TRUE(smdgw::read_credentials_file(crlf, c, error)) << error;
    EXPECT_EQ(c.password, "p");
    for (const char* text : {"", "\npassword\n", "u\np\nthird line\n"}) {
        const std::string p = dir.write_s("bad", text);
        ASSERT_EQ(::chmod(p.c_str(), 0600), 0);
        error.clear();
        EXPECT_FALSE(smdgw::read_credentials_file(p, c, error)) << text;
        EXPECT_EQ(error.find("password\n"), std::string::npos);
    }
    EXPECT_FALSE(smdgw::read_credentials_file(dir.path().string(), c, error));
}

TEST(MqttOptions, UsageErrorsNameTheOption) {
    TempDir dir;
    const std::string cfg = std::string(SOURCE_DIR) + "/examples/gateway.json";
    const std::string cap = dir.write_s("empty.cap", "");
    const std::string readable = dir.write_s("auth", "user\nsecret-word\n");
    ASSERT_EQ(::chmod(readable.c_str(), 0644), 0);
    const std::string text_file = dir.write_s("notes.txt", "not a database, just words\n");
    const std::string foreign = (dir.path() / "foreign.db").string();
    testsupport::sql_text(foreign, "CREATE TABLE invoices(id INTEGER)");
    const struct {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"--mqtt", "mqtt://127.0.0.1"}, "--mqtt needs --history FILE or --mqtt-outbox FILE"},
        {{"--mqtt", "http://x", "--mqtt-outbox", "o.db"}, "--mqtt \"http://x\""},
        {{"--mqtt-outbox", "o.db"}, "need --mqtt URL"},
        {{"--mqtt", "mqtt://x", "--mqtt-outbox", "o.db", "--mqtt-ca", "ca.pem"}, "mqtts://"},
        {{"--mqtt", "mqtts://x", "--mqtt-outbox", "o.db", "--mqtt-cert", "c.pem"},
         "--mqtt-cert and --mqtt-key go together"},
        {{"--mqtt", "mqtt://x", "--mqtt-outbox", "o.db", "--mqtt-outbox-max", "lots"},
         "--mqtt-outbox-max \"lots\""},
        {{"--mqtt", "mqtt://x", "--mqtt-outbox", "o.db", "--mqtt-prefix", "a/#"},
         "--mqtt-prefix \"a/#\""},
        {{"--mqtt", "mqtt://x", "--mqtt-outbox", "o.db", "--mqtt-auth", readable},
         "others may read"},
        {{"--mqtt", "mqtt://x", "--mqtt-outbox", text_file}, "not a SQLite database"},
        {{"--mqtt", "mqtt://x", "--mqtt-outbox", foreign}, "table \"invoices\""},
        {{"--mqtt", "mqtt://x", "--mqtt-outbox", "o.db", "--mqtt-fleet-profile",
          "--mqtt-ha-discovery"},
         "--mqtt-ha-discovery is refused with --mqtt-fleet-profile"},
        {{"--mqtt", "mqtt://x", "--mqtt-outbox", "o.db", "--mqtt-ha-discovery-force"},
         "--mqtt-ha-discovery-force goes with --mqtt-ha-discovery"},
        {{"--mqtt", "mqtt://x", "--mqtt-outbox", "o.db", "--mqtt-ha-discovery", "home/#"},
         "--mqtt-ha-discovery \"home/#\""},
        {{"--mqtt-ha-discovery"}, "need --mqtt URL"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--config", cfg, "--replay", cap};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto r = testsupport::run_smdgw(args, dir.path().string());
        EXPECT_EQ(r.status, 2) << c.says;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("secret-word"), std::string::npos);
    }
}

}  // namespace
