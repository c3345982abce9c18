#pragma once
// The entities a plant shows in Home Assistant, one table: what each is
// called, its component, device class and unit as Home Assistant accepts
// them, what of the plant it needs, and how its value is read from the shown
// state. Only what the plant reports becomes an entity: the AC inputs and
// modules within the record's counts, the DC panels present, the battery
// estimate of a device with a "battery" object.
//
// One row, annotated:
//   {"module{n}_current", "Module {n} current", Sensor, "current", "A", Module, Rectifiers, true, ...}
//    key and name, {n} the module from 1                 class     unit  one per reported module,
//    needs the rectifier section; detail: diagnostic and not enabled by default
//
// The plant-wide rows (about 15 for a plant with one AC input and a battery,
// 20 at most with two) are enabled by default; per-module and per-panel
// detail is there to be enabled by hand.

#include <optional>
#include <string>
#include <vector>

#include "record/veltra_record.h"
#include "tools/smdgw/core/battery_monitor.h"
#include "tools/smdgw/core/device_state.h"

namespace smdgw {

enum class HaComponent { Sensor, BinarySensor };
// "sensor", "binary_sensor": the discovery topic's component level.
const char* ha_component_name(HaComponent c);

// How many entities a row makes.
enum class HaScope { Plant, AcInput, Module, Panel, Battery };
// The section of the plant its value comes from; Nothing: always there.
enum class HaNeeds { Nothing, Ac, Rectifiers, Dc };

// What a value is read from: the shown record (when its section has been
// shown), whether that section is current, the battery estimate, the alarms.
struct HaReading {
    const veltra_record_t* record = nullptr;  // null before the first live round
    bool ac = false, rectifiers = false, dc = false;  // the section is current
    const BatteryView* battery = nullptr;
    bool any_alarm = false;
};

struct HaEntityKind {
    const char* key;   // the values message's key; {n} the element from 1
    const char* name;  // as Home Assistant shows it after the device's name
    HaComponent component;
    const char* device_class;  // "" for none
    const char* unit;          // "" for none
    HaScope scope;
    HaNeeds needs;
    bool detail;  // entity_category diagnostic, enabled_by_default false
    // The value now: a number, "ON"/"OFF", or null when not known (a section
    // not current, no estimate yet). `element` from 0.
    Json::Value (*value)(const HaReading& r, unsigned element);
};

// The table, in the order entities are announced.
const std::vector<HaEntityKind>& ha_entity_kinds();

// What the shown state says the plant has.
struct PlantPresence {
    bool ac = false, rectifiers = false, dc = false;  // sections shown
    unsigned ac_inputs = 0;
    unsigned modules = 0;
    unsigned panels = 0;
    bool battery = false;
    bool operator==(const PlantPresence& o) const {
        return ac == o.ac && rectifiers == o.rectifiers && dc == o.dc &&
               ac_inputs == o.ac_inputs && modules == o.modules && panels == o.panels &&
               battery == o.battery;
    }
    bool operator!=(const PlantPresence& o) const { return !(*this == o); }
};
PlantPresence plant_presence(const DeviceState& d, bool has_battery);

// One entity of a device.
struct HaEntity {
    const HaEntityKind* kind;
    unsigned element;  // from 0 (AC input, module, panel); 0 otherwise
    std::string key;   // "module3_current"
    std::string name;  // "Module 3 current"
};
std::vector<HaEntity> ha_entities(const PlantPresence& p);

// The values message of a device: {"bus_voltage":53.5,"mains_failure":"OFF",...},
// one key per entity.
std::string ha_state_json(const DeviceState& d, const std::optional<BatteryView>& battery,
                          const std::vector<HaEntity>& entities);

}  // namespace smdgw
