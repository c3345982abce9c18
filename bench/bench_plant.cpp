#include "bench/bench_plant.h"

#include <cstdio>
#include <memory>

#include "pmbuspower/alarm_rule_tables.h"

namespace bench {

namespace {

using veltra_frames::AcInput;
using veltra_frames::DcPanel;
using veltra_frames::PlantSnapshot;
using veltra_frames::RectifierModule;

AcInput ac_input(float base) {
    AcInput in;
    in.a = base;
    in.b = base + 1.5f;
    in.c = base - 1.0f;
    in.f = 50.02f;
    in.user_values = {0.5f, 1.25f};
    in.alert_a = 0x01;
    in.further_states = {0x05, 0x00, 0xE1, 0x00, 0x00, 0xE3, 0xE2};
    in.user_alarms = {0x00, 0x05};
    return in;
}

RectifierModule module(unsigned j) {
    RectifierModule m;
    m.out_i = 18.0f + 0.5f * static_cast<float>(j);
    for (unsigned k = 0; k < kUserValues; ++k)
        m.user_values.push_back(31.0f + static_cast<float>(k) + 0.125f * static_cast<float>(j));
    m.shutdown = static_cast<uint8_t>(j % 2);
    m.charge = 1;
    m.user_states = {0};
    m.fault = static_cast<uint8_t>(j % 3 == 0 ? 1 : 0);
    m.user_alarms = {1, 0, 1, 0, 0, 0, 1};
    return m;
}

DcPanel panel(float v, float i) {
    DcPanel p;
    p.v = v;
    p.i = i;
    p.currents = {i * 0.6f, i * 0.4f};
    p.branch_currents = {12.5f, 13.75f};
    p.user_values = {25.0f, 26.5f};
    p.alert_v = 0x01;
    p.fuses.assign(kFusesPerPanel, 0);
    p.fuses[3] = 0x03;
    p.user_alarms = {0x00, 0x01};
    return p;
}

std::string numbered(const pmbus_rules::NumberedAlarm& a, unsigned instance) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s%03u%s", a.id_head, instance + a.id_offset, a.id_tail);
    return buf;
}

}  // namespace

PlantSnapshot full_plant() {
    PlantSnapshot s;
    s.ac.inputs = {ac_input(224.0f), ac_input(226.5f)};
    s.ac.ia = 21.5f;
    s.ac.ib = 20.75f;
    s.ac.ic = 22.25f;
    s.ac.ia_alert = 0x01;
    s.out_v = 53.5f;
    for (unsigned j = 0; j < kModules; ++j) s.modules.push_back(module(j));
    s.panels = {panel(53.5f, 151.25f), panel(53.4375f, 62.5f)};
    return s;
}

std::string full_round_text() { return veltra_frames::round_text(full_plant()); }

double wire_seconds(const std::string& wire) {
    return static_cast<double>(wire.size()) / kLineBytesPerSecond;
}

Json::Value mode2_entry() {
    Json::Value e = minimal_entry();
    e["appSetting"]["b_mode"] = 2;
    e["appSetting"]["has_ac"] = 1;
    e["appSetting"]["has_dc"] = 1;
    Json::Value& levels = e["alarm_levels"];
    Json::Value& values = e["alarm_thresholds"];
    for (const auto& r : pmbus_rules::kAcFixedRules) levels[r.alarm_id] = 2;
    values["220600160010"] = 50.0;
    values["220600170010"] = 49.0;
    for (unsigned j = 1; j <= kModules; ++j)
        for (const auto& a : pmbus_rules::kRectifierRunning) levels[numbered(a, j)] = 3;
    for (const auto* rules : {&pmbus_rules::kDcPanel1Rules, &pmbus_rules::kDcPanel2Rules}) {
        for (const auto& r : *rules) {
            levels[r.alarm_id] = 2;
            values[r.alarm_id] = r.compare == pmbus_rules::Compare::Below ? 47.0 : 57.0;
        }
    }
    for (unsigned l = 1; l <= kFusesPerPanel; ++l) {
        levels[numbered(pmbus_rules::kFusePanel1, l)] = 2;
        levels[numbered(pmbus_rules::kFusePanel2, l)] = 2;
    }
    return e;
}

Json::Value minimal_entry() {
    Json::Value e;
    e["name"] = "bench";
    e["data_id"] = 418;
    return e;
}

std::unique_ptr<Veltra_Quelm_K418T_419> make_driver(HostSink& sink, const Json::Value& entry) {
    auto d = std::make_unique<Veltra_Quelm_K418T_419>();
    d->SetSink(&sink);
    d->Init(std::weak_ptr<SMDController>(), 0, entry);
    d->InitSetting(entry);
    return d;
}

}  // namespace bench
