#pragma once
// The columns of the two standard tables the subagent serves: ENTITY-MIB's
// entPhysicalTable (1.3.6.1.2.1.47.1.1.1) and ENTITY-SENSOR-MIB's
// entPhySensorTable (1.3.6.1.2.1.99.1.1), both indexed by entPhysicalIndex.
// The view serves these columns and docs/snmp.md lists them from here.

#include <cstdint>

namespace smdgw::snmp {

struct EntityColumn {
    uint32_t arc;  // under the table's entry
    const char* name;
    const char* meaning;  // what the gateway puts there
};

constexpr uint32_t kPhysDescr = 2;
constexpr uint32_t kPhysVendorType = 3;
constexpr uint32_t kPhysContainedIn = 4;
constexpr uint32_t kPhysClass = 5;
constexpr uint32_t kPhysParentRelPos = 6;
constexpr uint32_t kPhysName = 7;
constexpr uint32_t kPhysSoftwareRev = 10;
constexpr uint32_t kPhysAlias = 14;
constexpr uint32_t kPhysIsFru = 16;

//   entPhysicalClass.1001 = 9 (module): plant 1's AC distribution
constexpr EntityColumn kEntPhysicalColumns[] = {
    {2, "entPhysicalDescr", "what the entity is: \"AC input 1 of DC power system plant1\""},
    {3, "entPhysicalVendorType", "`0.0` (no vendor type)"},
    {4, "entPhysicalContainedIn", "the entity holding it; 0 for the gateway and each plant"},
    {5, "entPhysicalClass", "chassis (3) gateway and plant, module (9), container (5), "
                            "powerSupply (6) rectifier module, battery (14), sensor (8)"},
    {6, "entPhysicalParentRelPos", "its number among its siblings (module 3: 3); -1 at the top"},
    {7, "entPhysicalName", "the device name and the part in words; a sensor's is the device "
                           "name and its value in words: \"plant1 DC panel 1 bus voltage\""},
    {8, "entPhysicalHardwareRev", "empty"},
    {9, "entPhysicalFirmwareRev", "empty"},
    {10, "entPhysicalSoftwareRev", "the gateway's version (gateway only)"},
    {11, "entPhysicalSerialNum", "empty"},
    {12, "entPhysicalMfgName", "empty"},
    {13, "entPhysicalModelName", "empty"},
    {14, "entPhysicalAlias", "a sensor's value path in the API, a stable handle: \"dc.v\"; "
                             "empty for the others"},
    {15, "entPhysicalAssetID", "empty"},
    {16, "entPhysicalIsFRU", "true (1) for a rectifier module, else false (2)"},
};

constexpr uint32_t kSensorType = 1;
constexpr uint32_t kSensorScale = 2;
constexpr uint32_t kSensorPrecision = 3;
constexpr uint32_t kSensorValue = 4;
constexpr uint32_t kSensorOperStatus = 5;
constexpr uint32_t kSensorUnitsDisplay = 6;
constexpr uint32_t kSensorValueTimeStamp = 7;
constexpr uint32_t kSensorValueUpdateRate = 8;

//   entPhySensorValue.1601 = 5350 with entPhySensorPrecision.1601 = 2: 53.50 V
constexpr EntityColumn kEntPhySensorColumns[] = {
    {1, "entPhySensorType", "voltsAC (3), voltsDC (4), amperes (5), hertz (7), celsius (8)"},
    {2, "entPhySensorScale", "units (9)"},
    {3, "entPhySensorPrecision", "decimal places of the value, fixed per type (table below)"},
    {4, "entPhySensorValue", "the value times 10^precision, rounded"},
    {5, "entPhySensorOperStatus", "ok (1) while the value is younger than the device's "
                                  "staleness bound (`stale_after_s`, default 120 s), however "
                                  "many rounds of a noisy line since left its section out; "
                                  "unavailable (2) once older, or when only a record restored "
                                  "from the history is shown"},
    {6, "entPhySensorUnitsDisplay", "\"V AC\", \"V DC\", \"A\", \"Hz\", \"C\""},
    {7, "entPhySensorValueTimeStamp", "the subagent's uptime when the value arrived"},
    {8, "entPhySensorValueUpdateRate", "0 (the plant's rounds set the pace)"},
};

}  // namespace smdgw::snmp
