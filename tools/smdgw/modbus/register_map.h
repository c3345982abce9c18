#pragma once
// What a unit answers: the register map (function codes 3 and 4) and the
// alarm bits (1 and 2), each one table. A row of the record names its
// struct and member, and takes its place, type and meaning from the record
// field table (record/record_fields.h); the battery rows read the battery
// estimator's reading. docs/modbus.md renders both tables
// (register_map_text.cpp).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "tools/smdgw/core/battery_monitor.h"
#include "tools/smdgw/core/device_state.h"

namespace smdgw::modbus {

enum class RegType : uint8_t {
    UInt16,   // the value times scale, rounded; 0xFFFF when there is none
    Int16,    // the same, signed; 0x8000 when there is none
    Float32,  // two registers in the device's word order; NaN when there is none
};

enum class Source : uint8_t {
    Record,        // the shown record: section and member
    DataState,     // 0 never, 1 live, 2 stale, 3 restored, 4 no-port
    Freshness,     // of the section named by `section`: 0 fresh, 1 held, 2 missing, 3 never
    AlarmsActive,  // alarms shown raised
    Battery,       // the battery estimate: `member` names the reading
};

// One row: the values of one member, for every element of its struct
// (`instances`, `stride` registers apart) and every entry of an array
// member (`entries`, side by side).
struct MapRow {
    uint16_t address;  // protocol address (0-based) of the first value
    RegType type;
    double scale;
    Source source;
    const char* section;  // Record: the record's struct ("dc", "ac_channels"), "" for its own
    const char* member;   // Record: the member; Battery: "state", "charge", "runtime_s", ...
    uint8_t instances;
    uint8_t stride;
    uint8_t entries;
    const char* unit;
    const char* what;  // rows not of the record; a record row's comes from the field table
};

// An alarm bit: a record code that is not 0, or a state of the device.
enum class BitSource : uint8_t { Record, AnyAlarm, OnBattery, BatteryDisconnected };

struct BitRow {
    uint16_t index;
    BitSource source;
    const char* section;
    const char* member;
    uint8_t instances;
    uint8_t stride;
    uint8_t entries;
    const char* what;
};

// clang-format off
inline constexpr MapRow kRegisterMap[] = {
    // The device and its sections.
    {0, RegType::UInt16, 1, Source::DataState, "", "", 1, 0, 1, "", "device data state: 0 never, 1 live, 2 stale, 3 restored, 4 no-port"},
    {1, RegType::UInt16, 1, Source::Freshness, "ac", "", 1, 0, 1, "", "AC distribution freshness: 0 fresh, 1 held, 2 missing, 3 never"},
    {2, RegType::UInt16, 1, Source::Freshness, "rectifiers", "", 1, 0, 1, "", "rectifier modules freshness (as above)"},
    {3, RegType::UInt16, 1, Source::Freshness, "dc", "", 1, 0, 1, "", "DC panels freshness (as above)"},
    {4, RegType::UInt16, 1, Source::AlarmsActive, "", "", 1, 0, 1, "", "alarms shown raised"},
    {5, RegType::UInt16, 1, Source::Battery, "", "state", 1, 0, 1, "", "battery state: 0 unknown, 1 float, 2 charging, 3 discharging, 4 disconnected"},
    {6, RegType::UInt16, 1, Source::Record, "", "channel_count", 1, 0, 1, "", nullptr},
    {7, RegType::UInt16, 1, Source::Record, "ac", "channel_count", 1, 0, 1, "", nullptr},
    // Scaled 16-bit values: bus voltages x100, currents x10, frequencies x100.
    {100, RegType::Int16, 100, Source::Record, "dc", "v", 1, 0, 1, "V", nullptr},
    {101, RegType::Int16, 10, Source::Record, "dc", "i", 1, 0, 1, "A", nullptr},
    {102, RegType::Int16, 10, Source::Record, "dc", "dc_i", 1, 0, 2, "A", nullptr},
    {104, RegType::Int16, 100, Source::Record, "dc2", "v", 1, 0, 1, "V", nullptr},
    {105, RegType::Int16, 10, Source::Record, "dc2", "i", 1, 0, 1, "A", nullptr},
    {106, RegType::Int16, 10, Source::Record, "dc2", "dc_i", 1, 0, 2, "A", nullptr},
    {108, RegType::Int16, 100, Source::Record, "", "out_v", 1, 0, 1, "V", nullptr},
    {109, RegType::Int16, 10, Source::Record, "ac", "ia", 1, 0, 1, "A", nullptr},
    {110, RegType::Int16, 10, Source::Record, "ac", "ib", 1, 0, 1, "A", nullptr},
    {111, RegType::Int16, 10, Source::Record, "ac", "ic", 1, 0, 1, "A", nullptr},
    {112, RegType::UInt16, 100, Source::Record, "ac_channels", "f", 2, 1, 1, "Hz", nullptr},
    {114, RegType::UInt16, 10, Source::Battery, "", "charge", 1, 0, 1, "%", "battery charge, percent of full"},
    {115, RegType::UInt16, 1, Source::Battery, "", "runtime_min", 1, 0, 1, "min", "battery runtime left to the disconnect, whole minutes"},
    // 32-bit floats.
    {200, RegType::Float32, 1, Source::Record, "", "out_v", 1, 0, 1, "V", nullptr},
    {202, RegType::Float32, 1, Source::Record, "ac", "ia", 1, 0, 1, "A", nullptr},
    {204, RegType::Float32, 1, Source::Record, "ac", "ib", 1, 0, 1, "A", nullptr},
    {206, RegType::Float32, 1, Source::Record, "ac", "ic", 1, 0, 1, "A", nullptr},
    {208, RegType::Float32, 1, Source::Record, "ac_channels", "a", 2, 8, 1, "V", nullptr},
    {210, RegType::Float32, 1, Source::Record, "ac_channels", "b", 2, 8, 1, "V", nullptr},
    {212, RegType::Float32, 1, Source::Record, "ac_channels", "c", 2, 8, 1, "V", nullptr},
    {214, RegType::Float32, 1, Source::Record, "ac_channels", "f", 2, 8, 1, "Hz", nullptr},
    {224, RegType::Float32, 1, Source::Record, "dc", "v", 1, 0, 1, "V", nullptr},
    {226, RegType::Float32, 1, Source::Record, "dc", "i", 1, 0, 1, "A", nullptr},
    {228, RegType::Float32, 1, Source::Record, "dc", "dc_i", 1, 0, 2, "A", nullptr},
    {232, RegType::Float32, 1, Source::Record, "dc2", "v", 1, 0, 1, "V", nullptr},
    {234, RegType::Float32, 1, Source::Record, "dc2", "i", 1, 0, 1, "A", nullptr},
    {236, RegType::Float32, 1, Source::Record, "dc2", "dc_i", 1, 0, 2, "A", nullptr},
    {240, RegType::Float32, 1, Source::Battery, "", "charge", 1, 0, 1, "%", "battery charge, percent of full"},
    {242, RegType::Float32, 1, Source::Battery, "", "runtime_s", 1, 0, 1, "s", "battery runtime left to the disconnect (0 once disconnected)"},
    {244, RegType::Float32, 1, Source::Battery, "", "current_a", 1, 0, 1, "A", "battery current, + charging"},
    {246, RegType::Float32, 1, Source::Battery, "", "temperature_c", 1, 0, 1, "degC", "battery temperature"},
    {300, RegType::Float32, 1, Source::Record, "channels", "out_i", 40, 2, 1, "A", nullptr},
};

inline constexpr BitRow kAlarmBits[] = {
    {0, BitSource::AnyAlarm, "", "", 1, 0, 1, "any alarm shown raised"},
    {1, BitSource::OnBattery, "", "", 1, 0, 1, "on battery: the battery estimate is discharging"},
    {2, BitSource::BatteryDisconnected, "", "", 1, 0, 1, "battery disconnected (low-voltage disconnect)"},
    {8, BitSource::Record, "ac", "ia_alert", 1, 0, 1, nullptr},
    {9, BitSource::Record, "ac", "ib_alert", 1, 0, 1, nullptr},
    {10, BitSource::Record, "ac", "ic_alert", 1, 0, 1, nullptr},
    {16, BitSource::Record, "ac_channels", "alert_a", 2, 8, 1, nullptr},
    {17, BitSource::Record, "ac_channels", "alert_b", 2, 8, 1, nullptr},
    {18, BitSource::Record, "ac_channels", "alert_c", 2, 8, 1, nullptr},
    {19, BitSource::Record, "ac_channels", "alert_f", 2, 8, 1, nullptr},
    {32, BitSource::Record, "dc", "alert_v", 1, 0, 1, nullptr},
    {33, BitSource::Record, "dc2", "alert_v", 1, 0, 1, nullptr},
    {40, BitSource::Record, "dc", "alert_m", 1, 0, 10, nullptr},
    {50, BitSource::Record, "dc2", "alert_m", 1, 0, 10, nullptr},
    {64, BitSource::Record, "channels", "fault", 40, 1, 1, nullptr},
};
// clang-format on

constexpr size_t register_width(RegType t) { return t == RegType::Float32 ? 2 : 1; }

// Registers and bits a unit has: up to the last value of its last row.
constexpr size_t register_count() {
    size_t n = 0;
    for (const MapRow& r : kRegisterMap) {
        const size_t end = r.address + (r.instances - 1u) * r.stride +
                           r.entries * register_width(r.type);
        if (end > n) n = end;
    }
    return n;
}
constexpr size_t bit_count() {
    size_t n = 0;
    for (const BitRow& r : kAlarmBits) {
        const size_t end = r.index + (r.instances - 1u) * r.stride + r.entries;
        if (end > n) n = end;
    }
    return n;
}
constexpr size_t kRegisterCount = register_count();
constexpr size_t kBitCount = bit_count();

// The word order of 32-bit values ("modbus_word_order").
enum class WordOrder : uint8_t { Big, Little };

// What a unit shows at one moment.
struct UnitView {
    const DeviceState& device;
    const std::optional<BatteryView>& battery;
    WordOrder order;
};

// Fills registers[0, kRegisterCount): every row, 0xFFFF between rows.
void fill_registers(const UnitView& v, uint16_t* registers);
// Fills bits[0, kBitCount) with 0 or 1.
void fill_bits(const UnitView& v, uint8_t* bits);

// A row's value name: "dc.v", "ac_channels[1].f", "dc.dc_i[0]", "battery.charge".
std::string value_name(const MapRow& r, size_t instance, size_t entry);
std::string bit_name(const BitRow& r, size_t instance, size_t entry);

}  // namespace smdgw::modbus
