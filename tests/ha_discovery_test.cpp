// What Home Assistant discovery sends on the connection, without a broker:
// what an earlier run left is deleted when its device is gone or its entity
// is not among the device's first round's, garbage below the gateway's node
// too, the gateway's own echo is not taken for a leftover; an entity that
// goes is deleted and one that comes is announced; the values go unretained;
// the birth message brings everything again.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "host/host_clock.h"
#include "tests/support/wait_until.h"
#include "tools/smdgw/mqtt/ha_discovery.h"

namespace {

struct Sent {
    std::string topic, payload;
    bool retain;
};

class FakeLink : public smdgw::MqttLink {
   public:
    void publish(const std::string& topic, const std::string& payload, bool retain) override {
        sent.push_back({topic, payload, retain});
    }
    void subscribe(const std::string& filter) override { subscribed.push_back(filter); }
    void unsubscribe(const std::string& filter) override { unsubscribed.push_back(filter); }
    // The retained payload of each topic sent since the last take ("" deleted).
    std::map<std::string, std::string> take_retained() {
        std::map<std::string, std::string> out;
        for (const Sent& s : sent)
            if (s.retain) out[s.topic] = s.payload;
        sent.clear();
        return out;
    }
    std::vector<Sent> sent;
    std::vector<std::string> subscribed, unsubscribed;
};

smdgw::DeviceConfig device(const std::string& name) {
    smdgw::DeviceConfig d;
    d.name = name;
    d.data_id = 418;
    return d;
}

// A live round of a plant with this many modules, as the gateway's state sees it.
void live_round(smdgw::DeviceStates& states, const std::string& name, unsigned modules) {
    veltra_record_t r;
    std::memset(&r, 0, sizeof r);
    r.channel_count = static_cast<uint8_t>(modules);
    for (unsigned j = 0; j < modules; ++j) r.channels[j].out_i = 5.0f + static_cast<float>(j);
    r.dc.v = 53.5f;
    r.dc.i = 40.0f;
    r.ac.channel_count = 1;
    r.ac_channels[0].a = r.ac_channels[0].b = r.ac_channels[0].c = 230.0f;
    r.ac_channels[0].f = 50.0f;
    smd::RecordPublished p;
    p.data_id = 418;
    p.data = reinterpret_cast<const unsigned char*>(&r);
    p.length = sizeof r;
    states.on_publish(name, p);
    states.on_state(name, smd::StateChanged{DataState::Live, 0, nullptr});
}

const std::string kModule2 = "homeassistant/sensor/gw/p1_module2_current/config";
const std::string kModule9 = "homeassistant/sensor/gw/p1_module9_current/config";

TEST(HaDiscoveryUnit, TheBrokerFollowsThePlant) {
    smdgw::GatewayConfig cfg;
    cfg.devices = {device("p1"), device("p2")};
    smdgw::DeviceStates states;
    for (const auto& d : cfg.devices) states.add_device(d.name, d.data_id);
    smdgw::BatteryMonitor battery(cfg, system_host_clock());
    smdgw::MqttCounters counters;
    smdgw::HaIdentity id;
    id.discovery_prefix = "homeassistant";
    id.topic_prefix = "smdgw/gw";
    id.gateway_id = "gw";
    smdgw::HaDiscovery ha(id, cfg, states, battery, counters);
    FakeLink link;

    ha.connected(link);
    EXPECT_EQ(link.subscribed, (std::vector<std::string>{"homeassistant/status",
                                                         "homeassistant/+/gw/+/config"}));
    // What the broker kept from before: p1's module 9, a device no longer
    // configured, something unreadable; and an echo of our own (not retained).
    const std::string p1_payload = R"({"device":{"identifiers":["smdgw_gw_p1"]}})";
    const std::string gone = "homeassistant/sensor/gw/old_bus_voltage/config";
    const std::string junk = "homeassistant/sensor/gw/junk/config";
    ha.message(kModule9, p1_payload, true);
    ha.message(gone, R"({"device":{"identifiers":["smdgw_gw_old"]}})", true);
    ha.message(junk, "not json", true);
    ha.message(kModule2, p1_payload, false);
    ha.turn(link);
    auto sent = link.take_retained();
    EXPECT_EQ(sent.at(gone), "");
    EXPECT_EQ(sent.at(junk), "");
    EXPECT_EQ(sent.count(kModule9), 0u) << "deleted before p1 said what it has";
    EXPECT_EQ(sent.count(kModule2), 0u);
    EXPECT_FALSE(sent.at("homeassistant/binary_sensor/gw/gateway_connection/config").empty());
    EXPECT_EQ(counters.ha_unreadable.load(), 1u);

    // p1's first round: its entities, module 9 deleted, values unretained.
    live_round(states, "p1", 2);
    ha.on_record("p1");
    ha.turn(link);
    std::string values;
    for (const Sent& s : link.sent)
        if (s.topic == "smdgw/gw/p1/ha_state" && !s.retain) values = s.payload;
    // The shown values in their short form, a binary sensor as ON/OFF.
    EXPECT_NE(values.find("\"bus_voltage\":53.5,"), std::string::npos) << values;
    EXPECT_NE(values.find("\"module2_current\":6.0,"), std::string::npos) << values;
    EXPECT_NE(values.find("\"mains_failure\":\"OFF\""), std::string::npos) << values;
    sent = link.take_retained();
    EXPECT_EQ(sent.at(kModule9), "");
    EXPECT_FALSE(sent.at(kModule2).empty());
    const size_t announced = sent.size() - 1;
    // The same plant again sends no configuration.
    live_round(states, "p1", 2);
    ha.on_record("p1");
    ha.turn(link);
    EXPECT_TRUE(link.take_retained().empty());
    // A module pulled out: its two entities deleted, nothing else sent.
    live_round(states, "p1", 1);
    ha.on_record("p1");
    ha.turn(link);
    sent = link.take_retained();
    EXPECT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent.at(kModule2), "");
    EXPECT_EQ(sent.at("homeassistant/binary_sensor/gw/p1_module2_fault/config"), "");

    // Home Assistant starts: everything p1 and the gateway have, again, soon.
    ha.message("homeassistant/status", "online", false);
    std::map<std::string, std::string> again;
    EXPECT_TRUE(testsupport::wait_until(
        [&] {
            ha.turn(link);
            for (const auto& kv : link.take_retained()) again.insert(kv);
            return !again.empty();
        },
        10.0));
    EXPECT_EQ(again.size(), announced - 2 + 1);
    for (const auto& kv : again) EXPECT_FALSE(kv.second.empty()) << kv.first;
    EXPECT_EQ(counters.ha_births.load(), 1u);
}

}  // namespace
