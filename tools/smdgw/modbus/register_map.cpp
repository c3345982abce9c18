#include "tools/smdgw/modbus/register_map.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "record/record_fields.h"
#include "tools/smdgw/core/shown_state.h"

namespace smdgw::modbus {

namespace {

using veltra::RecordField;

// Where a record row's member lies: the record's struct holding it (null
// for the record's own members) and the member.
struct Place {
    const RecordField* section = nullptr;
    const RecordField* field = nullptr;
};

Place place_of(const char* section, const char* member) {
    Place p;
    if (*section) {
        p.section = veltra::find_path(section);
        if (!p.section) return {};
    }
    p.field = veltra::find_field(p.section ? p.section->element : veltra::Group::Record, member);
    return p;
}

// The bytes of the value (instance, entry) of a record row, when the record
// shows it: its section shown, the element reported, the entry within its
// count.
const unsigned char* shown_value(const ShownState& shown, const Place& p, size_t instance,
                                 size_t entry) {
    if (!p.field || !shown.has_record()) return nullptr;
    const unsigned char* record = shown.record->data();
    const std::optional<smd::Section> s =
        smd::section_of_field(p.section ? p.section->path : p.field->path);
    if (s && !shown.shows(*s)) return nullptr;
    const unsigned char* base = record;
    if (p.section) {
        if (instance >= veltra::reported_entries(*p.section, record)) return nullptr;
        base += p.section->offset + instance * veltra::element_bytes(*p.section);
    }
    if (entry >= veltra::valid_entries(*p.field, base)) return nullptr;
    return base + p.field->offset + entry * veltra::element_bytes(*p.field);
}

std::optional<double> record_value(const ShownState& shown, const Place& p, size_t instance,
                                   size_t entry) {
    const unsigned char* at = shown_value(shown, p, instance, entry);
    if (!at) return std::nullopt;
    switch (p.field->type) {
        case veltra::FieldType::F32:
            return static_cast<double>(load_le_f32(at));
        case veltra::FieldType::U8:
            return static_cast<double>(*at);
        case veltra::FieldType::U32:
            return static_cast<double>(load_le_u32(at));
        case veltra::FieldType::Time:
        case veltra::FieldType::Struct:
            break;
    }
    return std::nullopt;
}

const BatteryReading* battery_reading(const std::optional<BatteryView>& b) {
    return b && b->reading.state != BatteryState::Unknown ? &b->reading : nullptr;
}

std::optional<double> battery_value(const std::optional<BatteryView>& view, const char* item) {
    const std::string m = item;
    if (m == "state") return static_cast<double>(view ? static_cast<int>(view->reading.state) : 0);
    const BatteryReading* b = battery_reading(view);
    if (!b) return std::nullopt;
    const auto runtime = [b]() -> std::optional<double> {
        if (b->state == BatteryState::Disconnected) return 0.0;
        return b->runtime_s;
    };
    if (m == "charge") return b->charge ? std::optional<double>(*b->charge * 100.0) : std::nullopt;
    if (m == "runtime_s") return runtime();
    if (m == "runtime_min") {
        const auto s = runtime();
        return s ? std::optional<double>(std::floor(*s / 60.0)) : std::nullopt;
    }
    if (m == "current_a") return b->current_a;
    if (m == "temperature_c") return b->temperature_c;
    return std::nullopt;
}

std::optional<double> row_value(const UnitView& v, const ShownState& shown, const MapRow& r,
                                const Place& p, size_t instance, size_t entry) {
    switch (r.source) {
        case Source::Record:
            return record_value(shown, p, instance, entry);
        case Source::DataState:
            return static_cast<double>(static_cast<int>(v.device.data_state));
        case Source::Freshness: {
            const std::optional<smd::Section> s = smd::section_named(r.section);
            if (!s) return std::nullopt;
            return static_cast<double>(static_cast<int>(v.device.section(*s).state));
        }
        case Source::AlarmsActive:
            return static_cast<double>(
                std::count_if(v.device.alarms.begin(), v.device.alarms.end(),
                              [](const auto& a) { return a.second.active; }));
        case Source::Battery:
            return battery_value(v.battery, r.member);
    }
    return std::nullopt;
}

void put(const MapRow& r, WordOrder order, const std::optional<double>& value, uint16_t* at) {
    switch (r.type) {
        case RegType::Float32: {
            const float f = value ? static_cast<float>(*value)
                                  : std::numeric_limits<float>::quiet_NaN();
            uint32_t bits;
            std::memcpy(&bits, &f, sizeof bits);
            const auto high = static_cast<uint16_t>(bits >> 16);
            const auto low = static_cast<uint16_t>(bits & 0xFFFFu);
            at[0] = order == WordOrder::Big ? high : low;
            at[1] = order == WordOrder::Big ? low : high;
            return;
        }
        case RegType::Int16: {
            if (!value || !std::isfinite(*value)) {
                at[0] = 0x8000;
                return;
            }
            const double s = std::clamp(std::round(*value * r.scale), -32767.0, 32767.0);
            at[0] = static_cast<uint16_t>(static_cast<int16_t>(s));
            return;
        }
        case RegType::UInt16: {
            if (!value || !std::isfinite(*value)) {
                at[0] = 0xFFFF;
                return;
            }
            at[0] = static_cast<uint16_t>(std::clamp(std::round(*value * r.scale), 0.0, 65534.0));
            return;
        }
    }
}

bool bit_value(const UnitView& v, const ShownState& shown, const BitRow& r, const Place& p,
               size_t instance, size_t entry) {
    switch (r.source) {
        case BitSource::Record: {
            const std::optional<double> code = record_value(shown, p, instance, entry);
            return code && *code != 0.0;
        }
        case BitSource::AnyAlarm:
            return std::any_of(v.device.alarms.begin(), v.device.alarms.end(),
                               [](const auto& a) { return a.second.active; });
        case BitSource::OnBattery: {
            const BatteryReading* b = battery_reading(v.battery);
            return b && b->state == BatteryState::Discharging;
        }
        case BitSource::BatteryDisconnected: {
            const BatteryReading* b = battery_reading(v.battery);
            return b && b->state == BatteryState::Disconnected;
        }
    }
    return false;
}

std::string indexed_name(const char* section, const char* member, uint8_t entries,
                         size_t instance, size_t entry) {
    std::string n;
    if (*section) {
        // An element of an array struct by its index: "channels[3].out_i".
        const RecordField* s = veltra::find_path(section);
        n = section;
        if (s && s->size > 1) n += "[" + std::to_string(instance) + "]";
        n += ".";
    }
    n += member;
    if (entries > 1) n += "[" + std::to_string(entry) + "]";
    return n;
}

}  // namespace

void fill_registers(const UnitView& v, uint16_t* registers) {
    std::fill(registers, registers + kRegisterCount, uint16_t{0xFFFF});
    const ShownState shown = shown_state(v.device);
    for (const MapRow& r : kRegisterMap) {
        const Place p = r.source == Source::Record ? place_of(r.section, r.member) : Place{};
        for (size_t i = 0; i < r.instances; ++i)
            for (size_t k = 0; k < r.entries; ++k)
                put(r, v.order, row_value(v, shown, r, p, i, k),
                    registers + r.address + i * r.stride + k * register_width(r.type));
    }
}

void fill_bits(const UnitView& v, uint8_t* bits) {
    std::fill(bits, bits + kBitCount, uint8_t{0});
    const ShownState shown = shown_state(v.device);
    for (const BitRow& r : kAlarmBits) {
        const Place p = r.source == BitSource::Record ? place_of(r.section, r.member) : Place{};
        for (size_t i = 0; i < r.instances; ++i)
            for (size_t k = 0; k < r.entries; ++k)
                bits[r.index + i * r.stride + k] = bit_value(v, shown, r, p, i, k) ? 1 : 0;
    }
}

std::string value_name(const MapRow& r, size_t instance, size_t entry) {
    switch (r.source) {
        case Source::Record:
            return indexed_name(r.section, r.member, r.entries, instance, entry);
        case Source::DataState:
            return "state";
        case Source::Freshness:
            return std::string("sections.") + r.section;
        case Source::AlarmsActive:
            return "alarms_active";
        case Source::Battery:
            return std::string("battery.") + r.member;
    }
    return {};
}

std::string bit_name(const BitRow& r, size_t instance, size_t entry) {
    switch (r.source) {
        case BitSource::Record:
            return indexed_name(r.section, r.member, r.entries, instance, entry);
        case BitSource::AnyAlarm:
            return "alarm";
        case BitSource::OnBattery:
            return "battery.on_battery";
        case BitSource::BatteryDisconnected:
            return "battery.disconnected";
    }
    return {};
}

}  // namespace smdgw::modbus
