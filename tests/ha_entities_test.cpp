// The Home Assistant entity table: every device class with a unit Home
// Assistant accepts, keys unique, per-element rows numbered, detail kept out
// of the default view; the entities of plants of several shapes (at most 20
// enabled); ids Home Assistant takes; expire_after above two record
// intervals; a plant's configuration read back, and every key of it in
// docs/home-assistant.md, whose entity table is rendered here. To refresh it:
//   SMD_WRITE_HA_DOC=1 ./build/unit_tests --gtest_filter='HaEntities.*'

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include <cstring>
#include <regex>
#include <set>
#include <string>

#include "tests/support/doc_section.h"
#include "tests/support/ha_rules.h"
#include "tests/support/run_process.h"
#include "tools/smdgw/mqtt/ha_config.h"
#include "tools/smdgw/mqtt/ha_entities.h"

namespace {

using smdgw::HaComponent;
using smdgw::HaEntity;
using smdgw::HaEntityKind;
using smdgw::HaScope;
using smdgw::PlantPresence;

Json::Value parsed(const std::string& text) {
    Json::Value v;
    EXPECT_TRUE(Json::Reader().parse(text, v)) << text;
    return v;
}

TEST(HaEntities, EveryRowHasAClassAndUnitHomeAssistantAccepts) {
    std::set<std::string> keys;
    for (const HaEntityKind& k : smdgw::ha_entity_kinds()) {
        SCOPED_TRACE(k.key);
        EXPECT_TRUE(keys.insert(k.key).second) << "key twice";
        EXPECT_TRUE(std::regex_match(k.key, std::regex("[a-z0-9_{}]+")));
        const bool numbered = std::strstr(k.key, "{n}") != nullptr;
        const bool per_element =
            k.scope == HaScope::AcInput || k.scope == HaScope::Module || k.scope == HaScope::Panel;
        EXPECT_EQ(numbered, per_element);
        EXPECT_EQ(std::strstr(k.name, "{n}") != nullptr, per_element);
        if (k.scope == HaScope::Module || k.scope == HaScope::Panel) {
            EXPECT_TRUE(k.detail);
        }
        if (k.component == HaComponent::Sensor) {
            const auto& units = testsupport::ha_sensor_units();
            const auto it = units.find(k.device_class);
            ASSERT_NE(it, units.end()) << "sensor class \"" << k.device_class << "\"";
            EXPECT_EQ(it->second.count(k.unit), 1u) << "unit \"" << k.unit << "\"";
        } else {
            EXPECT_STREQ(k.unit, "");
            if (*k.device_class) {
                EXPECT_EQ(testsupport::ha_binary_classes().count(k.device_class), 1u)
                    << "binary class \"" << k.device_class << "\"";
            }
        }
    }
}

TEST(HaEntities, PlantsOfEveryShapeShowAtMostTwentyByDefault) {
    struct Case {
        PlantPresence p;
        size_t enabled_min;  // the plant-wide view a user expects
    };
    //         ac     rect   dc     in  mod pan batt
    const Case cases[] = {
        {{true, true, true, 1, 4, 1, true}, 14},
        {{true, true, true, 2, 40, 2, true}, 14},
        {{true, true, true, 2, 40, 2, false}, 12},
        {{false, true, true, 0, 12, 1, false}, 4},
        {{false, false, false, 0, 0, 0, false}, 1},
    };
    for (const Case& c : cases) {
        const std::vector<HaEntity> all = smdgw::ha_entities(c.p);
        size_t enabled = 0, modules = 0;
        std::set<std::string> keys;
        for (const HaEntity& e : all) {
            EXPECT_TRUE(keys.insert(e.key).second) << e.key;
            EXPECT_EQ(e.key.find('{'), std::string::npos) << e.key;
            if (!e.kind->detail) ++enabled;
            if (e.kind->scope == HaScope::Module) {
                ++modules;
                EXPECT_LT(e.element, c.p.modules);
            }
            if (e.kind->scope == HaScope::AcInput) {
                EXPECT_LT(e.element, c.p.ac_inputs);
            }
            if (e.kind->scope == HaScope::Battery) {
                EXPECT_TRUE(c.p.battery);
            }
        }
        SCOPED_TRACE(std::to_string(c.p.ac_inputs) + " inputs, " + std::to_string(c.p.modules) +
                     " modules, battery " + std::to_string(c.p.battery));
        EXPECT_LE(enabled, 20u);
        EXPECT_GE(enabled, c.enabled_min);
        EXPECT_EQ(modules, 2u * c.p.modules);
        EXPECT_EQ(keys.count("alarm"), 1u);
        EXPECT_EQ(keys.count("battery_charge"), c.p.battery ? 1u : 0u);
        EXPECT_EQ(keys.count("module" + std::to_string(c.p.modules) + "_current"),
                  c.p.modules > 0 ? 1u : 0u);
        EXPECT_EQ(keys.count("module" + std::to_string(c.p.modules + 1) + "_current"), 0u);
    }
}

TEST(HaEntities, IdsAndExpiry) {
    const struct {
        const char* name;
        bool kept;
    } ids[] = {{"plant1", true}, {"site-7_a", true}, {"plant 1", false}, {"plant/1", false},
               {"", false},      {"pläne", false}};
    std::set<std::string> seen;
    for (const auto& c : ids) {
        const std::string id = smdgw::ha_id_part(c.name);
        EXPECT_TRUE(std::regex_match(id, std::regex("[a-zA-Z0-9_-]+"))) << id;
        EXPECT_EQ(id == c.name, c.kept) << c.name;
        EXPECT_TRUE(seen.insert(id).second) << c.name;
    }
    // Names that differ only where the id cannot show it stay apart.
    EXPECT_NE(smdgw::ha_id_part("plant 1"), smdgw::ha_id_part("plant_1"));
    EXPECT_NE(smdgw::ha_id_part("plant 1"), smdgw::ha_id_part("plant/1"));
    for (double interval : {0.0, 1.0, 30.0, 60.0, 600.0, 86400.0})
        EXPECT_GT(smdgw::ha_expire_after_s(interval), 2.0 * interval) << interval;
}

TEST(HaEntities, AConfigurationNamesItsPlantGatewayAndValues) {
    smdgw::HaIdentity id;
    id.discovery_prefix = "homeassistant";
    id.topic_prefix = "smdgw/site 7";
    id.gateway_id = "site 7";
    id.version = "1.2.3";
    id.expire_after_s = 150;
    const smdgw::HaPlant plant{"plant1", "Site power", ""};
    const auto entities = smdgw::ha_entities({true, true, true, 1, 2, 1, false});
    const HaEntity* module = nullptr;
    for (const HaEntity& e : entities)
        if (e.key == "module2_fault") module = &e;
    ASSERT_NE(module, nullptr);
    const std::string node = smdgw::ha_id_part("site 7");
    EXPECT_EQ(smdgw::ha_config_topic(id, "plant1", *module),
              "homeassistant/binary_sensor/" + node + "/plant1_module2_fault/config");
    const Json::Value c = parsed(smdgw::ha_entity_config(id, plant, *module));
    EXPECT_EQ(c["name"].asString(), "Module 2 fault");
    EXPECT_EQ(c["unique_id"].asString(), "smdgw_" + node + "_plant1_module2_fault");
    EXPECT_EQ(c["state_topic"].asString(), "smdgw/site 7/plant1/ha_state");
    EXPECT_EQ(c["value_template"].asString(), "{{ value_json.module2_fault }}");
    EXPECT_FALSE(c.isMember("state_class"));  // a binary sensor has none
    EXPECT_EQ(c["expire_after"].asInt(), 150);
    EXPECT_EQ(c["entity_category"].asString(), "diagnostic");
    EXPECT_FALSE(c["enabled_by_default"].asBool());
    ASSERT_EQ(c["availability"].size(), 2u);
    EXPECT_EQ(c["availability"][0]["topic"].asString(), "smdgw/site 7/status");
    EXPECT_EQ(c["availability"][1]["topic"].asString(), "smdgw/site 7/plant1/state");
    EXPECT_EQ(c["availability_mode"].asString(), "all");
    EXPECT_EQ(c["device"]["manufacturer"].asString(), "Site power");
    EXPECT_FALSE(c["device"].isMember("model"));
    const Json::Value gw = parsed(smdgw::ha_gateway_config(id));
    EXPECT_EQ(c["device"]["via_device"], gw["device"]["identifiers"][0]);
    EXPECT_EQ(gw["state_topic"].asString(), "smdgw/site 7/status");
}

const char* scope_text(HaScope s) {
    switch (s) {
        case HaScope::Plant:
            return "plant";
        case HaScope::AcInput:
            return "AC input";
        case HaScope::Module:
            return "module";
        case HaScope::Panel:
            return "DC panel";
        case HaScope::Battery:
            return "battery";
    }
    return "";
}

const char* needs_text(smdgw::HaNeeds n) {
    switch (n) {
        case smdgw::HaNeeds::Ac:
            return "AC distribution";
        case smdgw::HaNeeds::Rectifiers:
            return "rectifier modules";
        case smdgw::HaNeeds::Dc:
            return "DC panels";
        case smdgw::HaNeeds::Nothing:
            break;
    }
    return "";
}

TEST(HaEntities, DocsShowTheTableAndEveryConfigurationKey) {
    const std::string path = std::string(SOURCE_DIR) + "/docs/home-assistant.md";
    std::string table =
        "\n| Key | Name | Component | Device class | Unit | One per | Needs | Shown |\n"
        "|---|---|---|---|---|---|---|---|\n";
    for (const HaEntityKind& k : smdgw::ha_entity_kinds())
        table += "| `" + std::string(k.key) + "` | " + k.name + " | " +
                 smdgw::ha_component_name(k.component) + " | " + k.device_class + " | " + k.unit +
                 " | " + scope_text(k.scope) + " | " + needs_text(k.needs) + " | " +
                 (k.detail ? "diagnostic, disabled" : "enabled") + " |\n";
    testsupport::expect_doc_section(path, "<!-- generated ha entities: begin -->",
                                    "<!-- generated ha entities: end -->", table + "\n",
                                    "SMD_WRITE_HA_DOC");
    // Every key a configuration may carry, named in the docs.
    const std::string doc = testsupport::read_text(path);
    smdgw::HaIdentity id;
    id.discovery_prefix = "homeassistant";
    id.topic_prefix = "smdgw/gw";
    id.gateway_id = "gw";
    const smdgw::HaPlant plant{"plant1", "Site power", "-48 V"};
    std::vector<Json::Value> configs = {parsed(smdgw::ha_gateway_config(id))};
    for (const HaEntity& e : smdgw::ha_entities({true, true, true, 1, 1, 1, true}))
        configs.push_back(parsed(smdgw::ha_entity_config(id, plant, e)));
    for (const Json::Value& c : configs)
        for (const Json::Value* object : {&c, &c["device"], &c["origin"]})
            for (const std::string& key : object->getMemberNames())
                EXPECT_NE(doc.find("`" + key + "`"), std::string::npos) << key;
}

}  // namespace
