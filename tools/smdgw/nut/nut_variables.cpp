#include "tools/smdgw/nut/nut_variables.h"

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "record/record_fields.h"
#include "tools/smdgw/nut/ups_status.h"

namespace smdgw::nut {

namespace {

using Value = std::optional<std::string>;

// A number as NUT clients read it: decimal, a dot, no exponent.
Value number(double v, int decimals) {
    if (!std::isfinite(v)) return std::nullopt;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return std::string(buf);
}

// The AC input that feeds the plant: of those reported, the one with the
// higher phase A voltage (input 1 on a tie).
const veltra_ac_channel_t* feeding_input(const UpsReading& r) {
    if (!r.has_record || !r.ac) return nullptr;
    const unsigned n = veltra::reported_ac_inputs(r.record);
    if (n == 0) return nullptr;
    const veltra_ac_channel_t* best = &r.record.ac_channels[0];
    for (unsigned k = 1; k < n && k < kAcChannels; ++k)
        if (r.record.ac_channels[k].a > best->a) best = &r.record.ac_channels[k];
    return best;
}

// A float of the packed record by its offset in a part: a pointer to member
// would read it as if it were aligned, which it is not.
float packed_float(const void* part, size_t offset) {
    float v;
    std::memcpy(&v, static_cast<const unsigned char*>(part) + offset, sizeof v);
    return v;
}

Value phase(const UpsReading& r, size_t offset) {
    const veltra_ac_channel_t* in = feeding_input(r);
    return in ? number(packed_float(in, offset), 1) : std::nullopt;
}

Value dc(const UpsReading& r, size_t offset, int decimals) {
    if (!r.has_record || !r.dc) return std::nullopt;
    return number(std::fabs(packed_float(&r.record.dc, offset)), decimals);
}

const BatteryReading* battery(const UpsReading& r) {
    return r.battery && r.battery->reading.state != BatteryState::Unknown ? &r.battery->reading
                                                                          : nullptr;
}

Value opt(const std::optional<double>& v, double scale, int decimals) {
    return v ? number(*v * scale, decimals) : std::nullopt;
}

constexpr NutVariable kVariables[] = {
    {"battery.capacity", "Battery capacity (Ah)", VarType::Number,
     "the capacity learned from a discharge to the disconnect, else the nameplate "
     "(`\"battery\"`: `\"strings_ah\"`)",
     [](const UpsReading& r) -> Value {
         if (!r.battery_config) return std::nullopt;
         std::optional<double> learned;
         if (r.battery) learned = r.battery->reading.learned_capacity_ah;
         return number(learned ? *learned : r.battery_config->nameplate_ah(), 1);
     }},
    {"battery.charge", "Battery charge (percent of full)", VarType::Number,
     "the battery estimate's charge, counted from full (docs/battery.md)",
     [](const UpsReading& r) -> Value {
         const BatteryReading* b = battery(r);
         return b ? opt(b->charge, 100.0, 0) : std::nullopt;
     }},
    {"battery.current", "Battery current (A, positive while charging)", VarType::Number,
     "the battery strings' currents summed (`dc.dc_i`, as the estimate takes them)",
     [](const UpsReading& r) -> Value {
         const BatteryReading* b = battery(r);
         return b ? number(b->current_a, 1) : std::nullopt;
     }},
    {"battery.runtime", "Battery runtime left (seconds)", VarType::Number,
     "the estimated time to the low-voltage disconnect, while on battery",
     [](const UpsReading& r) -> Value {
         const BatteryReading* b = battery(r);
         if (!b) return std::nullopt;
         if (b->state == BatteryState::Disconnected) return std::string("0");
         return opt(b->runtime_s, 1.0, 0);
     }},
    {"battery.runtime.low", "Runtime below which the battery is low (seconds)", VarType::Number,
     "`\"battery\"`: `\"runtime_critical_min\"` in seconds; below it ups.status has LB",
     [](const UpsReading& r) -> Value {
         return r.battery_config ? number(r.battery_config->runtime_critical_min * 60.0, 0)
                                 : std::nullopt;
     }},
    {"battery.temperature", "Battery temperature (degrees C)", VarType::Number,
     "`dc.p` at `\"battery\"`: `\"temperature_value\"`",
     [](const UpsReading& r) -> Value {
         const BatteryReading* b = battery(r);
         return b ? opt(b->temperature_c, 1.0, 1) : std::nullopt;
     }},
    {"battery.voltage", "Battery voltage (V)", VarType::Number,
     "the DC bus voltage the strings float on (`dc.v`, as a magnitude)",
     [](const UpsReading& r) { return dc(r, offsetof(veltra_dc_t, v), 2); }},
    {"battery.voltage.nominal", "Nominal battery voltage (V)", VarType::Number,
     "48, the plant's nominal bus", [](const UpsReading&) -> Value { return std::string("48"); }},
    {"device.mfr", "Device manufacturer", VarType::String, "`\"ups\"`: `\"mfr\"`; absent unless set",
     [](const UpsReading& r) -> Value {
         return r.identity.mfr.empty() ? std::nullopt : Value(r.identity.mfr);
     }},
    {"device.model", "Device model", VarType::String,
     "`\"ups\"`: `\"model\"`, else \"-48 V DC power system\"",
     [](const UpsReading& r) -> Value {
         return r.identity.model.empty() ? std::string(UpsIdentity::kDefaultModel)
                                         : r.identity.model;
     }},
    {"device.serial", "Device serial number", VarType::String,
     "`\"ups\"`: `\"serial\"`, else the gateway ID, a hyphen and the device's name",
     [](const UpsReading& r) -> Value { return r.serial; }},
    {"device.type", "Device type", VarType::String, "\"psu\": a power supply with batteries",
     [](const UpsReading&) -> Value { return std::string("psu"); }},
    {"input.frequency", "Input line frequency (Hz)", VarType::Number,
     "the feeding AC input's frequency (`ac_channels[i].f`)",
     [](const UpsReading& r) { return phase(r, offsetof(veltra_ac_channel_t, f)); }},
    {"input.voltage", "Input voltage (V)", VarType::Number,
     "the feeding AC input's phase A voltage: of the inputs reported, the one with the higher "
     "phase A voltage",
     [](const UpsReading& r) { return phase(r, offsetof(veltra_ac_channel_t, a)); }},
    {"input.L1-N.voltage", "Input voltage, phase L1 to neutral (V)", VarType::Number,
     "`ac_channels[i].a` of the feeding AC input",
     [](const UpsReading& r) { return phase(r, offsetof(veltra_ac_channel_t, a)); }},
    {"input.L2-N.voltage", "Input voltage, phase L2 to neutral (V)", VarType::Number,
     "`ac_channels[i].b` of the feeding AC input",
     [](const UpsReading& r) { return phase(r, offsetof(veltra_ac_channel_t, b)); }},
    {"input.L3-N.voltage", "Input voltage, phase L3 to neutral (V)", VarType::Number,
     "`ac_channels[i].c` of the feeding AC input",
     [](const UpsReading& r) { return phase(r, offsetof(veltra_ac_channel_t, c)); }},
    {"output.current", "Output current (A): the load", VarType::Number,
     "the DC panel's total current (`dc.i`, as a magnitude)",
     [](const UpsReading& r) { return dc(r, offsetof(veltra_dc_t, i), 1); }},
    {"output.voltage", "Output voltage (V): the DC bus", VarType::Number,
     "the DC bus voltage (`dc.v`, as a magnitude)",
     [](const UpsReading& r) { return dc(r, offsetof(veltra_dc_t, v), 2); }},
    {"ups.alarm", "UPS alarms", VarType::String,
     "the English meanings of the alarms shown raised, separated by \"; \"; absent when none",
     [](const UpsReading& r) -> Value {
         std::string a = ups_alarm(r);
         return a.empty() ? std::nullopt : Value(std::move(a));
     }},
    {"ups.status", "UPS status", VarType::String,
     "OL or OB, CHRG or DISCHRG, LB, RB, ALARM: from the battery estimate and its alarms",
     [](const UpsReading& r) -> Value { return ups_status(r); }},
};

}  // namespace

const NutVariable* nut_variables_begin() { return std::begin(kVariables); }
const NutVariable* nut_variables_end() { return std::end(kVariables); }

const NutVariable* find_variable(std::string_view name) {
    for (const NutVariable& v : kVariables)
        if (name == v.name) return &v;
    return nullptr;
}

std::string type_text(const NutVariable& v) {
    return v.type == VarType::Number ? "NUMBER" : "STRING:" + std::to_string(kMaxStringValue);
}

}  // namespace smdgw::nut
