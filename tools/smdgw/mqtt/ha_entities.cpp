#include "tools/smdgw/mqtt/ha_entities.h"

#include <json/writer.h>

#include <cmath>
#include <cstring>

#include "record/record_fields.h"
#include "tools/smdgw/core/shown_state.h"
#include "tools/smdgw/core/value_keys.h"
#include "tools/smdgw/output/event_writer.h"

namespace smdgw {

using veltra::has_second_panel;
using veltra::reported_ac_inputs;
using veltra::reported_modules;

namespace {

using C = HaComponent;
using S = HaScope;
using N = HaNeeds;

const Json::Value kUnknown;  // null

Json::Value on_off(bool on) { return on ? "ON" : "OFF"; }

// The flag of the section a row needs, in a reading (current) or a
// presence (shown); true for a row that needs none.
template <class Flags>
bool section_flag(const Flags& f, HaNeeds n) {
    switch (n) {
        case N::Ac:
            return f.ac;
        case N::Rectifiers:
            return f.rectifiers;
        case N::Dc:
            return f.dc;
        case N::Nothing:
            break;
    }
    return true;
}

bool current(const HaReading& r, HaNeeds n) { return r.record && section_flag(r, n); }

// Each reader is called only for an entity whose element the plant reports.
#define HA_READ(needs, expr)                                        \
    [](const HaReading& r, unsigned i) -> Json::Value {             \
        (void)i;                                                    \
        if (!current(r, needs)) return kUnknown;                    \
        const veltra_record_t& rec = *r.record;                     \
        (void)rec;                                                  \
        return expr;                                                \
    }

double load_a(const veltra_record_t& rec) {
    return rec.dc.i + (has_second_panel(rec) ? rec.dc2.i : 0.0f);
}

double strings_a(const veltra_dc_t& p) {
    double sum = 0.0;
    const unsigned n = std::min<unsigned>(p.m, veltra_dc_t::M_SIZE());
    for (unsigned k = 0; k < n; ++k) sum += p.dc_i[k];
    return sum;
}

double modules_a(const veltra_record_t& rec) {
    double sum = 0.0;
    for (unsigned j = 0; j < reported_modules(rec); ++j) sum += rec.channels[j].out_i;
    return sum;
}

const veltra_dc_t& panel(const veltra_record_t& rec, unsigned i) { return i == 0 ? rec.dc : rec.dc2; }

bool on_battery(BatteryState s) {
    return s == BatteryState::Discharging || s == BatteryState::Disconnected;
}

Json::Value battery_on(const HaReading& r, unsigned) {
    if (!r.battery || r.battery->reading.state == BatteryState::Unknown) return kUnknown;
    return on_off(on_battery(r.battery->reading.state));
}

Json::Value battery_charge(const HaReading& r, unsigned) {
    if (!r.battery || !r.battery->reading.charge) return kUnknown;
    return std::round(*r.battery->reading.charge * 1000.0) / 10.0;
}

Json::Value battery_runtime(const HaReading& r, unsigned) {
    if (!r.battery) return kUnknown;
    if (r.battery->reading.state == BatteryState::Disconnected) return 0;
    if (!r.battery->reading.runtime_s) return kUnknown;
    return std::round(*r.battery->reading.runtime_s);
}

Json::Value any_alarm(const HaReading& r, unsigned) { return on_off(r.any_alarm); }

}  // namespace

const char* ha_component_name(HaComponent c) {
    return c == HaComponent::BinarySensor ? "binary_sensor" : "sensor";
}

const std::vector<HaEntityKind>& ha_entity_kinds() {
    // clang-format off
    static const std::vector<HaEntityKind> kinds = {
        {"bus_voltage", "Bus voltage", C::Sensor, "voltage", "V", S::Plant, N::Dc, false,
         HA_READ(N::Dc, rec.dc.v)},
        {"load_current", "Load current", C::Sensor, "current", "A", S::Plant, N::Dc, false,
         HA_READ(N::Dc, load_a(rec))},
        {"load_power", "Load power", C::Sensor, "power", "W", S::Plant, N::Dc, false,
         HA_READ(N::Dc, std::round(std::fabs(rec.dc.v) * load_a(rec) * 10.0) / 10.0)},
        {"battery_current", "Battery current", C::Sensor, "current", "A", S::Plant, N::Dc, false,
         HA_READ(N::Dc, strings_a(rec.dc) + (has_second_panel(rec) ? strings_a(rec.dc2) : 0.0))},
        {"ac_current_l1", "AC current L1", C::Sensor, "current", "A", S::Plant, N::Ac, false,
         HA_READ(N::Ac, rec.ac.ia)},
        {"ac_current_l2", "AC current L2", C::Sensor, "current", "A", S::Plant, N::Ac, false,
         HA_READ(N::Ac, rec.ac.ib)},
        {"ac_current_l3", "AC current L3", C::Sensor, "current", "A", S::Plant, N::Ac, false,
         HA_READ(N::Ac, rec.ac.ic)},
        {"mains_failure", "Mains failure", C::BinarySensor, "problem", "", S::Plant, N::Ac, false,
         HA_READ(N::Ac, on_off(mains_failure(rec)))},
        {"alarm", "Alarm", C::BinarySensor, "problem", "", S::Plant, N::Nothing, false, any_alarm},
        {"ac{n}_voltage_l1", "AC input {n} voltage L1", C::Sensor, "voltage", "V", S::AcInput, N::Ac, false,
         HA_READ(N::Ac, rec.ac_channels[i].a)},
        {"ac{n}_voltage_l2", "AC input {n} voltage L2", C::Sensor, "voltage", "V", S::AcInput, N::Ac, false,
         HA_READ(N::Ac, rec.ac_channels[i].b)},
        {"ac{n}_voltage_l3", "AC input {n} voltage L3", C::Sensor, "voltage", "V", S::AcInput, N::Ac, false,
         HA_READ(N::Ac, rec.ac_channels[i].c)},
        {"ac{n}_frequency", "AC input {n} frequency", C::Sensor, "frequency", "Hz", S::AcInput, N::Ac, false,
         HA_READ(N::Ac, rec.ac_channels[i].f)},
        {"on_battery", "On battery", C::BinarySensor, "", "", S::Battery, N::Nothing, false, battery_on},
        {"battery_charge", "Battery charge", C::Sensor, "battery", "%", S::Battery, N::Nothing, false,
         battery_charge},
        {"battery_runtime", "Battery runtime", C::Sensor, "duration", "s", S::Battery, N::Nothing, false,
         battery_runtime},
        {"rectifier_current", "Rectifier current", C::Sensor, "current", "A", S::Plant, N::Rectifiers, true,
         HA_READ(N::Rectifiers, modules_a(rec))},
        {"panel{n}_voltage", "DC panel {n} voltage", C::Sensor, "voltage", "V", S::Panel, N::Dc, true,
         HA_READ(N::Dc, panel(rec, i).v)},
        {"panel{n}_current", "DC panel {n} current", C::Sensor, "current", "A", S::Panel, N::Dc, true,
         HA_READ(N::Dc, panel(rec, i).i)},
        {"module{n}_current", "Module {n} current", C::Sensor, "current", "A", S::Module, N::Rectifiers, true,
         HA_READ(N::Rectifiers, rec.channels[i].out_i)},
        {"module{n}_fault", "Module {n} fault", C::BinarySensor, "problem", "", S::Module, N::Rectifiers, true,
         HA_READ(N::Rectifiers, on_off(rec.channels[i].fault != 0))},
    };
    // clang-format on
    return kinds;
}

#undef HA_READ

PlantPresence plant_presence(const DeviceState& d, bool has_battery) {
    PlantPresence p;
    p.battery = has_battery;
    const ShownState shown = shown_state(d);
    if (!shown.has_record()) return p;
    veltra_record_t rec;
    std::memcpy(&rec, shown.record->data(), sizeof rec);
    p.ac = shown.shows(smd::Section::Ac);
    p.rectifiers = shown.shows(smd::Section::Rectifiers);
    p.dc = shown.shows(smd::Section::Dc);
    if (p.ac) p.ac_inputs = reported_ac_inputs(rec);
    if (p.rectifiers) p.modules = reported_modules(rec);
    if (p.dc) p.panels = has_second_panel(rec) ? 2 : 1;
    return p;
}

namespace {

std::string numbered(const char* text, unsigned n) {
    std::string s(text);
    const size_t at = s.find("{n}");
    if (at != std::string::npos) s.replace(at, 3, std::to_string(n));
    return s;
}

unsigned elements(const PlantPresence& p, HaScope s) {
    switch (s) {
        case S::Plant:
            return 1;
        case S::AcInput:
            return p.ac_inputs;
        case S::Module:
            return p.modules;
        case S::Panel:
            return p.panels;
        case S::Battery:
            return p.battery ? 1 : 0;
    }
    return 0;
}

}  // namespace

std::vector<HaEntity> ha_entities(const PlantPresence& p) {
    std::vector<HaEntity> out;
    for (const HaEntityKind& k : ha_entity_kinds()) {
        if (!section_flag(p, k.needs)) continue;
        const unsigned n = elements(p, k.scope);
        for (unsigned i = 0; i < n; ++i)
            out.push_back(HaEntity{&k, i, numbered(k.key, i + 1), numbered(k.name, i + 1)});
    }
    return out;
}

std::string ha_state_json(const DeviceState& d, const std::optional<BatteryView>& battery,
                          const std::vector<HaEntity>& entities) {
    HaReading r;
    veltra_record_t rec;
    const ShownState shown = shown_state(d);
    if (shown.has_record()) {
        std::memcpy(&rec, shown.record->data(), sizeof rec);
        r.record = &rec;
        r.ac = shown.current(smd::Section::Ac);
        r.rectifiers = shown.current(smd::Section::Rectifiers);
        r.dc = shown.current(smd::Section::Dc);
    }
    if (battery) r.battery = &*battery;
    for (const auto& kv : d.alarms)
        if (kv.second.active) r.any_alarm = true;
    Json::Value values(Json::objectValue);
    for (const HaEntity& e : entities) values[e.key] = e.kind->value(r, e.element);
    return Json::writeString(event_json_settings(), values);
}

}  // namespace smdgw
