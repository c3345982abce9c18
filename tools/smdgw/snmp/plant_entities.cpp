#include "tools/smdgw/snmp/plant_entities.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <optional>
#include <utility>

#include "record/record_fields.h"
#include "record/veltra_record.h"
#include "tools/smdgw/core/shown_state.h"

namespace smdgw::snmp {

namespace {

using veltra::RecordField;

// EntitySensorValue's range.
constexpr double kMaxSensorValue = 1e9;

const ComponentSpec* component_of(const char* section) {
    for (const ComponentSpec& c : kComponents)
        if (std::strcmp(c.section, section) == 0) return &c;
    return nullptr;
}

SensorType type_of(const RecordField& f) {
    if (std::strcmp(f.unit, "A") == 0) return SensorType::Amperes;
    if (std::strcmp(f.unit, "Hz") == 0) return SensorType::Hertz;
    // A voltage is AC on an AC input, DC elsewhere (rectifier output, panels).
    return f.group == veltra::Group::AcInput ? SensorType::VoltsAC : SensorType::VoltsDC;
}

bool is_analog(const RecordField& f) { return f.type == veltra::FieldType::F32 && *f.unit; }

// "AC input 2", "DC panel 1", "rectifiers".
std::string component_words(const ComponentSpec& c, size_t instance) {
    return c.stride ? std::string(c.words) + " " + std::to_string(instance + 1) : c.words;
}

// "rectifier module 2: module output current" as a name: "Rectifier module 2
// output current" (a word of the part not said twice).
std::string name_words(const std::string& descr) {
    const size_t colon = descr.find(": ");
    if (colon == std::string::npos) return descr;
    const std::string part = descr.substr(0, colon);
    std::string what = descr.substr(colon + 2);
    const size_t blank = what.find(' ');
    if (blank != std::string::npos &&
        (" " + part + " ").find(" " + what.substr(0, blank) + " ") != std::string::npos)
        what.erase(0, blank + 1);
    std::string out = part + " " + what;
    if (!out.empty() && out[0] >= 'a' && out[0] <= 'z') out[0] = static_cast<char>(out[0] - 'a' + 'A');
    return out;
}

// A value of a part as a sensor, numbered among the part's values; it reads
// ok only while its section is current.
PhysicalEntity sensor_entity(uint32_t part, uint32_t ordinal, const std::string& device,
                             std::string path, std::string descr, SensorType type, double value,
                             const SectionReading& reading) {
    const SensorTypeSpec& t = sensor_type_spec(type);
    PhysicalEntity e;
    e.index = part + ordinal;
    e.contained_in = part;
    e.cls = PhysicalClass::Sensor;
    e.rel_pos = static_cast<int32_t>(ordinal);
    e.path = std::move(path);
    // In words, as the page says it ("plant1 Rectifier module 1 output
    // current"): managers name their sensors by entPhysicalName.
    e.name = device + " " + name_words(descr);
    e.descr = std::move(descr);
    e.sensor = true;
    e.type = t.type;
    e.value = std::isfinite(value) ? sensor_value(value, t.precision) : 0;
    e.status =
        reading.fresh && std::isfinite(value) ? SensorStatus::Ok : SensorStatus::Unavailable;
    e.value_time = reading.time;
    return e;
}

// The bank and its values: shown once the estimate has a state (a round
// refreshed the DC panels), read ok as the panels' values are; a value the
// estimate does not know (no temperature configured) has no row.
void add_battery(std::vector<PhysicalEntity>& out, const DeviceState& d, uint32_t base,
                 const BatteryView& b, const SensorAge& age) {
    const SectionReading reading = section_reading(d, smd::Section::Dc, age);
    if (!reading.record || b.reading.state == BatteryState::Unknown) return;
    PhysicalEntity bank;
    bank.index = base + kBatteryFirst;
    bank.cls = PhysicalClass::Battery;
    bank.contained_in = base;
    bank.name = d.name + " battery";
    bank.descr = "battery of DC power system " + d.name;
    out.push_back(bank);
    const std::optional<double> values[] = {b.reading.current_a, b.reading.temperature_c};
    for (size_t k = 0; k < std::size(kBatterySensors); ++k) {
        if (!values[k]) continue;
        const BatterySensorSpec& spec = kBatterySensors[k];
        out.push_back(sensor_entity(bank.index, static_cast<uint32_t>(k + 1), d.name, spec.path,
                                    std::string("battery: ") + spec.words, spec.type, *values[k],
                                    reading));
    }
}

}  // namespace

const SensorTypeSpec& sensor_type_spec(SensorType t) {
    for (const SensorTypeSpec& s : kSensorTypes)
        if (s.type == t) return s;
    return kSensorTypes[0];
}

// A section's values are those of the last live round that refreshed it
// intact; they read ok only while the device is live and the last live round
// refreshed the section again. A section never refreshed is not shown, as in
// the API. Before any live round, a record restored from the history shows
// its values, none of them current.
SectionReading section_reading(const DeviceState& d, smd::Section s, const SensorAge& age) {
    SectionReading r;
    const ShownState shown = shown_state(d);
    if (!shown.shows(s)) return r;
    r.record = shown.record;
    r.time = shown.as_of(s);
    // A round a noisy line left without the section does not make data of
    // a few seconds unavailable; data older than the device's staleness
    // bound is, whatever the line does.
    r.fresh = age.max_age_s > 0.0
                  ? !shown.restored && r.time > 0 &&
                        static_cast<double>(age.now - r.time) < age.max_age_s
                  : shown.current(s);
    return r;
}

const std::vector<unsigned char>& layout_record(const DeviceState& d) {
    const ShownState shown = shown_state(d);
    return shown.record ? *shown.record : d.record;
}

const char* class_name(PhysicalClass c) {
    switch (c) {
        case PhysicalClass::Chassis: return "chassis";
        case PhysicalClass::Container: return "container";
        case PhysicalClass::PowerSupply: return "powerSupply";
        case PhysicalClass::Sensor: return "sensor";
        case PhysicalClass::Module: return "module";
        case PhysicalClass::Battery: return "battery";
    }
    return "other";
}

std::vector<std::string> part_values(const ComponentSpec& c) {
    veltra::Group g = veltra::Group::Record;
    if (*c.section) {
        const RecordField* f = veltra::find_path(c.section);
        if (!f) return {};
        g = f->element;
    }
    std::vector<std::string> out;
    for (const RecordField* f = veltra::group_begin(g); f != veltra::group_end(g); ++f) {
        if (!is_analog(*f)) continue;
        if (!veltra::is_array(*f)) {
            out.push_back(veltra::field_name(*f));
            continue;
        }
        for (size_t k = 0; k < f->size; ++k)
            out.push_back(std::string(veltra::field_name(*f)) + "[" + std::to_string(k) + "]");
    }
    return out;
}

int32_t sensor_value(double v, int32_t precision) {
    const double scaled = std::round(v * std::pow(10.0, precision));
    if (!(scaled < kMaxSensorValue)) return static_cast<int32_t>(kMaxSensorValue);
    if (!(scaled > -kMaxSensorValue)) return static_cast<int32_t>(-kMaxSensorValue);
    return static_cast<int32_t>(scaled);
}

PhysicalEntity gateway_entity(const std::string& version) {
    PhysicalEntity e;
    e.index = kGatewayIndex;
    e.cls = PhysicalClass::Chassis;
    e.name = "smdgw";
    e.descr = "smdgw site-monitoring gateway";
    e.software_rev = version;
    return e;
}

std::vector<PhysicalEntity> plant_entities(const DeviceState& d, uint32_t position,
                                           const BatteryView* battery, const SensorAge& age) {
    std::vector<PhysicalEntity> out;
    const uint32_t base = position * kPlantStride;
    PhysicalEntity plant;
    plant.index = base;
    plant.cls = PhysicalClass::Chassis;
    plant.name = d.name;
    plant.descr = "DC power system " + d.name;
    out.push_back(plant);

    // The parts come from the record the values come from: what the plant
    // reported of the sections shown.
    const std::vector<unsigned char>& layout = layout_record(d);
    if (layout.size() != sizeof(veltra_record_t)) return out;
    const unsigned char* rec = layout.data();
    veltra_record_t r;
    std::memcpy(&r, rec, sizeof r);
    const bool panel2 = veltra::has_second_panel(r);

    for (const ComponentSpec& c : kComponents) {
        size_t instances = 1;
        if (*c.section) {
            const RecordField* f = veltra::find_path(c.section);
            if (!f) continue;
            if (veltra::is_array(*f)) instances = veltra::reported_entries(*f, rec);
        }
        if (std::strcmp(c.section, "dc2") == 0 && !panel2) continue;
        if (!section_reading(d, c.values).record) continue;  // nothing of it shown yet
        for (size_t k = 0; k < instances; ++k) {
            PhysicalEntity e;
            e.index = base + c.first + c.stride * static_cast<uint32_t>(k);
            e.contained_in = base + c.parent;
            e.cls = c.cls;
            e.rel_pos = c.stride ? static_cast<int32_t>(k + 1) : -1;
            e.name = d.name + " " + component_words(c, k);
            e.descr = component_words(c, k) + " of DC power system " + d.name;
            e.fru = c.cls == PhysicalClass::PowerSupply;
            out.push_back(e);
        }
    }

    // Each analog value after its part, numbered in field order; entries
    // beyond a count keep their numbers free so the others never move.
    const RecordField* at_section = nullptr;
    size_t at_instance = 0;
    uint32_t ordinal = 0;
    veltra::for_each_value(rec, veltra::Sections::AsReported, [&](const veltra::RecordValue& v) {
        if (!is_analog(*v.field)) return;
        if (v.section != at_section || v.instance != at_instance) {
            at_section = v.section;
            at_instance = v.instance;
            ordinal = 0;
        }
        ++ordinal;
        const ComponentSpec* c = component_of(v.section ? v.section->path : "");
        if (!c || !v.valid) return;
        if (c->section == std::string("dc2") && !panel2) return;
        const SectionReading reading = section_reading(d, c->values, age);
        if (!reading.record) return;
        const double value = load_le_f32(v.at);
        const uint32_t part = base + c->first + c->stride * static_cast<uint32_t>(v.instance);
        out.push_back(sensor_entity(
            part, ordinal, d.name, veltra::value_path(v),
            component_words(*c, v.instance) + ": " + v.field->what +
                (veltra::is_array(*v.field) ? " " + std::to_string(v.index + 1) : ""),
            type_of(*v.field), value, reading));
    });
    if (battery) add_battery(out, d, base, *battery, age);
    std::sort(out.begin(), out.end(),
              [](const PhysicalEntity& a, const PhysicalEntity& b) { return a.index < b.index; });
    return out;
}

}  // namespace smdgw::snmp
