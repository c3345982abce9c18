#pragma once
// The gateway and its plants as ENTITY-MIB physical entities, and each
// analog value of a plant (voltages, currents, frequency) as an
// ENTITY-SENSOR-MIB sensor: taken from the record field table and the device
// state snapshot.
//
// entPhysicalIndex is stable across rounds and restarts: device N of the
// configuration (from 1) owns N*1000 to N*1000+999, each part of the plant a
// fixed place in that range (kComponents), each value a fixed place after its
// part (its order among the part's analog fields). So plant 1's DC bus
// voltage is always 1601, whatever the plant reports besides.

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "host/plant_sections.h"
#include "tools/smdgw/core/battery_monitor.h"
#include "tools/smdgw/core/device_state.h"

namespace smdgw::snmp {

// ENTITY-MIB's PhysicalClass values used here.
enum class PhysicalClass : int32_t {
    Chassis = 3,
    Container = 5,
    PowerSupply = 6,
    Sensor = 8,
    Module = 9,
    Battery = 14,
};
// ENTITY-SENSOR-MIB's EntitySensorDataType values used here.
enum class SensorType : int32_t { VoltsAC = 3, VoltsDC = 4, Amperes = 5, Hertz = 7, Celsius = 8 };
enum class SensorStatus : int32_t { Ok = 1, Unavailable = 2 };
// EntitySensorDataScale: every value is in units, its precision saying the decimals.
constexpr int32_t kScaleUnits = 9;

// A value's fixed precision per type: the decimals of entPhySensorValue.
//   a DC voltage of 53.5 V: type voltsDC, precision 2, value 5350
struct SensorTypeSpec {
    SensorType type;
    const char* name;  // as ENTITY-SENSOR-MIB names it
    int32_t precision;
    const char* units;  // entPhySensorUnitsDisplay
};
constexpr SensorTypeSpec kSensorTypes[] = {
    // type              name       decimals  display
    {SensorType::VoltsAC, "voltsAC", 2, "V AC"},
    {SensorType::VoltsDC, "voltsDC", 2, "V DC"},
    {SensorType::Amperes, "amperes", 1, "A"},
    {SensorType::Hertz, "hertz", 2, "Hz"},
    {SensorType::Celsius, "celsius", 1, "C"},
};
const SensorTypeSpec& sensor_type_spec(SensorType t);

// Where a part of a plant sits in its device's index range.
//   {"channels", 200, 10, PowerSupply, "rectifier module", 100, Rectifiers}
//   module 3 (instance 2) is N*1000 + 200 + 2*10 = N*1000+220 in the
//   rectifiers' container N*1000+100; its output current is N*1000+221.
struct ComponentSpec {
    const char* section;  // the record's struct ("ac", "channels", ...); "" for its own values
    uint32_t first;       // offset of its first instance in the device's range
    uint32_t stride;      // between instances (0: a single one)
    PhysicalClass cls;
    const char* words;  // "AC input" (+ its number when it has instances)
    uint32_t parent;    // offset of the entity holding it (0: the plant)
    smd::Section values;  // whose freshness its values follow
};
constexpr uint32_t kPlantStride = 1000;
constexpr uint32_t kGatewayIndex = 1;
constexpr ComponentSpec kComponents[] = {
    // section       first stride class                       words        parent section
    {"ac", 10, 0, PhysicalClass::Module, "AC distribution", 0, smd::Section::Ac},
    {"ac_channels", 20, 10, PhysicalClass::Module, "AC input", 10, smd::Section::Ac},
    {"", 100, 0, PhysicalClass::Container, "rectifiers", 0, smd::Section::Rectifiers},
    {"channels", 200, 10, PhysicalClass::PowerSupply, "rectifier module", 100, smd::Section::Rectifiers},
    {"dc", 600, 0, PhysicalClass::Module, "DC panel 1", 0, smd::Section::Dc},
    {"dc2", 610, 0, PhysicalClass::Module, "DC panel 2", 0, smd::Section::Dc},
};

// The battery bank of a device with a "battery" object sits after the DC
// panels, its values (as GET .../battery names them) after it:
//   plant 1's bank is 1700, its current 1701 (+ charging), its temperature 1702
constexpr uint32_t kBatteryFirst = 700;
struct BatterySensorSpec {
    const char* path;   // "battery.current_a"
    const char* words;  // for entPhysicalDescr
    SensorType type;
};
constexpr BatterySensorSpec kBatterySensors[] = {
    {"battery.current_a", "current (+ charging, - discharging)", SensorType::Amperes},
    {"battery.temperature_c", "temperature", SensorType::Celsius},
};

struct PhysicalEntity {
    uint32_t index = 0;
    uint32_t contained_in = 0;
    PhysicalClass cls = PhysicalClass::Module;
    int32_t rel_pos = -1;
    std::string name;
    std::string descr;
    std::string software_rev;
    bool fru = false;
    // A sensor's reading.
    bool sensor = false;
    SensorType type = SensorType::VoltsDC;
    int32_t value = 0;
    SensorStatus status = SensorStatus::Unavailable;
    std::time_t value_time = 0;  // Unix seconds; 0 when never read
    std::string path;            // the value's API path ("dc.v"), for a sensor
};

// Where a section's values come from and whether they are fresh: the record
// (null when nothing of the section is shown), whether its values are fresh
// enough to read ok, and when they arrived. The one place that decides
// whether a sensor reads ok or unavailable.
struct SectionReading {
    const std::vector<unsigned char>* record = nullptr;
    bool fresh = false;
    std::time_t time = 0;
};
// How old a section's values may be and still read ok: while they are
// younger than max_age_s at `now` (Unix seconds), however many rounds of a
// noisy line since did not refresh them. max_age_s 0: only while the last
// live round refreshed the section.
struct SensorAge {
    std::time_t now = 0;
    double max_age_s = 0.0;
};
SectionReading section_reading(const DeviceState& d, smd::Section s, const SensorAge& age = {});

// The record the plant's parts are read from: the one shown downstream, or
// before any live round the one restored from the history (empty when none).
const std::vector<unsigned char>& layout_record(const DeviceState& d);

// ENTITY-MIB's name of a class: "module", "powerSupply", ...
const char* class_name(PhysicalClass c);
// The analog values of one instance of a part, in index order (its first at
// +1): "ia", "ib", "ic" for the AC distribution, "dc_i[0]" ... for a panel.
std::vector<std::string> part_values(const ComponentSpec& c);

// entPhySensorValue: v * 10^precision rounded, within -1e9..1e9.
int32_t sensor_value(double v, int32_t precision);

// The gateway itself (index 1).
PhysicalEntity gateway_entity(const std::string& version);
// The plant of device `position` (from 1) and the parts and values it reported,
// in index order; with its battery bank when it has a battery estimate.
std::vector<PhysicalEntity> plant_entities(const DeviceState& d, uint32_t position,
                                           const BatteryView* battery = nullptr,
                                           const SensorAge& age = {});

}  // namespace smdgw::snmp
