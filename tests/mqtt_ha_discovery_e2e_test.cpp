// Home Assistant discovery against Debian's Mosquitto, smdgw following
// powersim over a pseudo-terminal: every retained configuration below
// homeassistant/ is held against what Home Assistant accepts and what the
// gateway really publishes (unique ids, availability, device classes and
// units, expire_after, state topics whose values the templates find), at most
// 20 entities of a plant enabled by default; Home Assistant's birth message
// brings every configuration again; a module pulled out of the plant loses
// its configurations; and a restart with the device gone from the
// configuration deletes what the earlier run announced.

#include <gtest/gtest.h>
#include <json/value.h>
#include <signal.h>

#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/ha_rules.h"
#include "tests/support/mqtt_broker.h"
#include "tests/support/powersim_feed.h"
#include "tests/support/pty_bridge.h"
#include "tests/support/run_process.h"
#include "tests/support/smdgw_run.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::Child;
using testsupport::MosquittoBroker;
using testsupport::MqttMessage;
using testsupport::MqttSubscriber;
using testsupport::PtyBridge;
using testsupport::read_text;
using testsupport::TempDir;

// Safety nets, never pacing.
constexpr double kWait = 30.0;
// Home Assistant's birth message brings every configuration within this.
constexpr double kRepublishS = 10.0;
const std::string kPrefix = "smdgw/site-7";
const std::string kNode = "site-7";

std::string plant_config(const std::string& device) {
    return R"({"devices":[{"name":")" + device +
           R"(","data_id":418,"address":1,"appSetting":{"b_mode":2,"has_dc":1},)"
           R"("ups":{"mfr":"Site power","model":"-48 V 400 A"},)"
           R"("battery":{"strings_ah":[200],"lvd_v":44.4,"peukert":1.15,"temperature_value":0}}]})";
}

void feed(const PtyBridge& line, const std::string& rounds, std::vector<std::string> extra) {
    std::string err;
    ASSERT_TRUE(testsupport::feed_rounds(line, rounds, "5", extra, &err)) << err;
}

// The last payload of each configuration topic so far ("" once deleted).
std::map<std::string, std::string> last_configs(const std::vector<MqttMessage>& msgs) {
    std::map<std::string, std::string> out;
    for (const MqttMessage& m : msgs)
        if (m.topic.size() > 7 && m.topic.compare(m.topic.size() - 7, 7, "/config") == 0)
            out[m.topic] = m.payload;
    return out;
}

std::map<std::string, size_t> counts(const std::vector<MqttMessage>& msgs) {
    std::map<std::string, size_t> out;
    for (const MqttMessage& m : msgs) ++out[m.topic];
    return out;
}

Json::Value last_json(const std::vector<MqttMessage>& msgs, const std::string& topic) {
    Json::Value v;
    for (const MqttMessage& m : msgs)
        if (m.topic == topic) v = m.json();
    return v;
}

// Every configuration of the gateway held against the rules; counts the
// enabled entities of each plant (by device identifier).
void check_configs(const std::map<std::string, std::string>& configs,
                   const std::vector<MqttMessage>& gateway_msgs,
                   std::map<std::string, size_t>& enabled) {
    const std::regex topic_re("homeassistant/(sensor|binary_sensor)/" + kNode +
                              "/([a-zA-Z0-9_-]+)/config");
    const std::regex template_re(R"(\{\{ value_json\.([a-z0-9_]+) \}\})");
    std::set<std::string> unique_ids;
    std::string via;
    // The gateway's own device first: the plants are reached through it.
    for (const auto& [topic, payload] : configs) {
        const Json::Value c = testsupport::parse_json(payload);
        if (c["device"]["model"].asString() == "Power system gateway")
            via = c["device"]["identifiers"][0].asString();
    }
    EXPECT_FALSE(via.empty()) << "no configuration of the gateway's own device";
    const auto topics = counts(gateway_msgs);
    for (const auto& [topic, payload] : configs) {
        if (payload.empty()) continue;
        SCOPED_TRACE(topic);
        std::smatch tm;
        ASSERT_TRUE(std::regex_match(topic, tm, topic_re));
        const bool sensor = tm[1] == "sensor";
        const Json::Value c = testsupport::parse_json(payload);
        ASSERT_TRUE(c.isObject());
        EXPECT_FALSE(c["name"].asString().empty());
        EXPECT_TRUE(unique_ids.insert(c["unique_id"].asString()).second) << "unique_id twice";
        EXPECT_EQ(c["origin"]["name"].asString(), "smdgw");
        const std::string device_id = c["device"]["identifiers"][0].asString();
        EXPECT_FALSE(device_id.empty());
        if (device_id == via) {
            // The gateway's connection: the retained status itself.
            EXPECT_EQ(c["state_topic"].asString(), kPrefix + "/status");
            EXPECT_EQ(c["payload_on"].asString(), "online");
            continue;
        }
        EXPECT_EQ(c["device"]["via_device"].asString(), via);
        EXPECT_EQ(c["device"]["manufacturer"].asString(), "Site power");
        EXPECT_EQ(c["device"]["model"].asString(), "-48 V 400 A");
        const std::string device = c["device"]["name"].asString();
        // Availability: the gateway's status with its last will, and the device live.
        const Json::Value& av = c["availability"];
        ASSERT_EQ(av.size(), 2u);
        EXPECT_EQ(av[0]["topic"].asString(), kPrefix + "/status");
        EXPECT_EQ(av[1]["topic"].asString(), kPrefix + "/" + device + "/state");
        EXPECT_NE(av[1]["value_template"].asString().find("value_json.state == 'live'"),
                  std::string::npos);
        EXPECT_EQ(topics.count(av[1]["topic"].asString()), 1u) << "no state published";
        EXPECT_EQ(c["availability_mode"].asString(), "all");
        EXPECT_GT(c["expire_after"].asInt(), 0);  // above two intervals of every round
        // The template's key in the values the gateway published.
        const std::string state_topic = c["state_topic"].asString();
        const Json::Value values = last_json(gateway_msgs, state_topic);
        ASSERT_TRUE(values.isObject()) << "nothing on " << state_topic;
        std::smatch vm;
        const std::string templ = c["value_template"].asString();
        ASSERT_TRUE(std::regex_match(templ, vm, template_re)) << templ;
        ASSERT_TRUE(values.isMember(vm[1].str())) << vm[1] << " not in the values";
        const Json::Value& v = values[vm[1].str()];
        if (sensor) {
            EXPECT_TRUE(v.isNumeric() || v.isNull()) << v.toStyledString();
            EXPECT_EQ(c["state_class"].asString(), "measurement");
            const auto& units = testsupport::ha_sensor_units();
            const auto it = units.find(c["device_class"].asString());
            ASSERT_NE(it, units.end()) << c["device_class"].asString();
            EXPECT_EQ(it->second.count(c["unit_of_measurement"].asString()), 1u)
                << c["unit_of_measurement"].asString();
        } else {
            EXPECT_TRUE(v.isNull() || v == "ON" || v == "OFF") << v.toStyledString();
            if (c.isMember("device_class")) {
                EXPECT_EQ(testsupport::ha_binary_classes().count(c["device_class"].asString()), 1u);
            }
        }
        // Detail is diagnostic and waits to be enabled by hand.
        const bool detail = c["entity_category"].asString() == "diagnostic";
        EXPECT_EQ(detail, c.isMember("enabled_by_default") && !c["enabled_by_default"].asBool());
        if (tm[2].str().find("_module") != std::string::npos) {
            EXPECT_TRUE(detail);
        }
        if (!detail) ++enabled[device_id];
    }
}

// The MQTT service's last statistics line in smdgw's output.
Json::Value mqtt_stats(const std::string& out) {
    Json::Value stats;
    for (const Json::Value& l : testsupport::json_lines(read_text(out)))
        if (l["event"].asString() == "stats" && l["service"].asString() == "mqtt") stats = l;
    return stats;
}

std::vector<std::string> gateway_args(const TempDir& dir, const std::string& tag,
                                      const std::string& config, const std::string& port,
                                      const MosquittoBroker& broker) {
    return {SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config", config,
            "--log", (dir.path() / (tag + ".log")).string(), "--port", port,
            "--mqtt", broker.url(), "--mqtt-outbox", (dir.path() / (tag + ".db")).string(),
            "--gateway-id", "site-7", "--mqtt-ha-discovery"};
}

TEST(HaDiscovery, PlantAnnouncedRepublishedAndPruned) {
    TempDir dir;
    MosquittoBroker broker(dir.path().string());
    ASSERT_TRUE(broker.start()) << broker.log();
    MqttSubscriber ha(broker.port(), "test-ha", "homeassistant/#");
    MqttSubscriber gw_sub(broker.port(), "test-gw", kPrefix + "/#");
    ASSERT_TRUE(ha.subscribed() && gw_sub.subscribed());
    PtyBridge line;
    const std::string config = dir.write_s("plant.json", plant_config("plant1"));
    const std::string err = (dir.path() / "gw.err").string();
    auto gw = std::make_unique<Child>(gateway_args(dir, "gw", config, line.end_b(), broker),
                                      (dir.path() / "gw.out").string(), err);

    // 12 modules, two AC inputs, two panels, a battery: every entity's
    // configuration, then values that hold every key.
    feed(line, "4", {"--modules", "12", "--battery-ah", "200", "--battery-strings", "1"});
    const std::string values_topic = kPrefix + "/plant1/ha_state";
    // The values come beside the outbox, the device's state through it. The
    // first rounds' values may hold a section's keys still without a value;
    // these are the first values with the mains and the bus known.
    Json::Value values;
    ASSERT_TRUE(gw_sub.wait_for(
        [&](const std::vector<MqttMessage>& msgs) {
            values = last_json(msgs, values_topic);
            return values.isObject() && values["mains_failure"].isString() &&
                   values["bus_voltage"].isNumeric() &&
                   last_json(msgs, kPrefix + "/plant1/state")["state"] == "live";
        },
        kWait))
        << read_text(err);
    // Every entity of the values announced (they come one message each).
    const auto plant_configs_of = [](const std::map<std::string, std::string>& configs) {
        size_t n = 0;
        for (const auto& kv : configs)
            if (kv.first.find("/plant1_") != std::string::npos) ++n;
        return n;
    };
    ASSERT_TRUE(ha.wait_for(
        [&](const std::vector<MqttMessage>& msgs) {
            const auto configs = last_configs(msgs);
            return configs.count("homeassistant/sensor/" + kNode +
                                 "/plant1_module12_current/config") == 1 &&
                   plant_configs_of(configs) == values.size();
        },
        kWait))
        << read_text(err);
    const auto announced = last_configs(ha.messages());
    std::map<std::string, size_t> enabled;
    check_configs(announced, gw_sub.messages(), enabled);
    ASSERT_EQ(enabled.size(), 1u);
    EXPECT_LE(enabled.begin()->second, 20u);
    EXPECT_GE(enabled.begin()->second, 10u);
    // Every key of the values has its entity, and the other way round.
    EXPECT_EQ(plant_configs_of(announced), values.size());
    EXPECT_EQ(values["mains_failure"].asString(), "OFF");
    EXPECT_TRUE(values["bus_voltage"].isNumeric());
    EXPECT_TRUE(values.isMember("battery_charge"));
    EXPECT_TRUE(values.isMember("ac2_frequency"));

    // Home Assistant starts: every configuration comes again.
    const auto before = counts(ha.messages());
    ASSERT_TRUE(ha.publish("homeassistant/status", "online"));
    EXPECT_TRUE(ha.wait_for(
        [&](const std::vector<MqttMessage>& msgs) {
            const auto now = counts(msgs);
            for (const auto& kv : announced) {
                if (kv.second.empty()) continue;
                const auto it = now.find(kv.first);
                if (it == now.end() || it->second <= before.at(kv.first)) return false;
            }
            return true;
        },
        kRepublishS))
        << "not every configuration within 10 s of the birth message";

    // Module 5 pulled out: 11 modules, the last one's entities deleted.
    feed(line, "4",
         {"--modules", "12", "--battery-ah", "200", "--battery-strings", "1", "--fault",
          "module-absent:5@1-"});
    const std::string gone_current =
        "homeassistant/sensor/" + kNode + "/plant1_module12_current/config";
    const std::string gone_fault =
        "homeassistant/binary_sensor/" + kNode + "/plant1_module12_fault/config";
    ASSERT_TRUE(ha.wait_for(
        [&](const std::vector<MqttMessage>& msgs) {
            const auto last = last_configs(msgs);
            return last.at(gone_current).empty() && last.at(gone_fault).empty();
        },
        kWait))
        << read_text(err);
    ASSERT_TRUE(gw_sub.wait_for(
        [&](const std::vector<MqttMessage>& msgs) {
            const Json::Value v = last_json(msgs, values_topic);
            return v.isObject() && !v.isMember("module12_current");
        },
        kWait));
    EXPECT_TRUE(last_json(gw_sub.messages(), values_topic).isMember("module11_current"));
    {
        // What a Home Assistant starting now finds: no trace of module 12.
        MqttSubscriber late(broker.port(), "test-late", "homeassistant/#");
        ASSERT_TRUE(late.wait_for(
            [&](const std::vector<MqttMessage>& msgs) {
                return last_configs(msgs).size() + 2 >= announced.size();
            },
            kWait));
        const auto retained = last_configs(late.messages());
        EXPECT_EQ(retained.count(gone_current), 0u);
        EXPECT_EQ(retained.count(gone_fault), 0u);
        EXPECT_EQ(retained.size(), announced.size() - 2);
        for (const MqttMessage& m : late.messages()) EXPECT_TRUE(m.retain) << m.topic;
    }

    // The device renamed in the configuration: the next start finds plant1's
    // configurations on the broker and deletes every one.
    gw->signal(SIGTERM);
    ASSERT_EQ(gw->wait(kWait), 0) << read_text(err);
    // Its own account: the first announcement and the birth's, the two deleted.
    const Json::Value stats = mqtt_stats((dir.path() / "gw.out").string());
    EXPECT_GE(stats["ha_configs_published"].asUInt64(), 2 * (announced.size() - 1));
    EXPECT_EQ(stats["ha_configs_deleted"].asUInt64(), 2u);
    EXPECT_EQ(stats["ha_births"].asUInt64(), 1u);
    const std::string renamed = dir.write_s("renamed.json", plant_config("plant2"));
    PtyBridge line2;
    gw = std::make_unique<Child>(gateway_args(dir, "gw2", renamed, line2.end_b(), broker),
                                 (dir.path() / "gw2.out").string(),
                                 (dir.path() / "gw2.err").string());
    ASSERT_TRUE(ha.wait_for(
        [&](const std::vector<MqttMessage>& msgs) {
            for (const auto& kv : last_configs(msgs))
                if (kv.first.find("/plant1_") != std::string::npos && !kv.second.empty())
                    return false;
            return true;
        },
        kWait))
        << read_text((dir.path() / "gw2.err").string());
    MqttSubscriber after(broker.port(), "test-after", "homeassistant/#");
    ASSERT_TRUE(after.wait_for(
        [](const std::vector<MqttMessage>& msgs) { return !msgs.empty(); }, kWait));
    for (const auto& kv : last_configs(after.messages()))
        EXPECT_EQ(kv.first.find("/plant1_"), std::string::npos) << kv.first;
    gw->signal(SIGTERM);
    ASSERT_EQ(gw->wait(kWait), 0);
    EXPECT_EQ(mqtt_stats((dir.path() / "gw2.out").string())["ha_configs_deleted"].asUInt64(),
              announced.size() - 3);  // all but the gateway's and the two deleted before
}

}  // namespace
