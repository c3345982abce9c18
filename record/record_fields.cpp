#include "record/record_fields.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "host/number_text.h"

namespace veltra {

namespace {

using G = Group;
using T = FieldType;

// clang-format off
// The monitoring samples, one per monitored field (Influx field, Prometheus
// name after the section prefix, help, phase, reading):
//   {"fuses", "fuses", "Load fuses reported", nullptr, R::Entries, "dc.alert_m"}
// is dc.alert_m_count as the entries of dc.alert_m it reports, at most 10.
using R = Reading;
constexpr RecordMetric kOutV{"out_v", "output_voltage_volts", "Rectifier output voltage", nullptr, R::Value, nullptr};
constexpr RecordMetric kModules{"modules", "modules", "Rectifier modules reported", nullptr, R::Entries, "channels"};
constexpr RecordMetric kIa{"ia", "current_amperes", "Phase current", "a", R::Value, nullptr};
constexpr RecordMetric kIb{"ib", "current_amperes", "Phase current", "b", R::Value, nullptr};
constexpr RecordMetric kIc{"ic", "current_amperes", "Phase current", "c", R::Value, nullptr};
constexpr RecordMetric kInputs{"inputs", "inputs", "AC inputs reported", nullptr, R::Entries, "ac_channels"};
constexpr RecordMetric kIaAlert{"ia_alert", "current_alarm_code", "Alarm code of the phase current (0 normal)", "a", R::Value, nullptr};
constexpr RecordMetric kIbAlert{"ib_alert", "current_alarm_code", "Alarm code of the phase current (0 normal)", "b", R::Value, nullptr};
constexpr RecordMetric kIcAlert{"ic_alert", "current_alarm_code", "Alarm code of the phase current (0 normal)", "c", R::Value, nullptr};
constexpr RecordMetric kVa{"a", "voltage_volts", "Phase voltage", "a", R::Value, nullptr};
constexpr RecordMetric kVb{"b", "voltage_volts", "Phase voltage", "b", R::Value, nullptr};
constexpr RecordMetric kVc{"c", "voltage_volts", "Phase voltage", "c", R::Value, nullptr};
constexpr RecordMetric kFreq{"f", "frequency_hertz", "Frequency", nullptr, R::Value, nullptr};
constexpr RecordMetric kAlertA{"alert_a", "voltage_alarm_code", "Alarm code of the phase voltage (0 normal)", "a", R::Value, nullptr};
constexpr RecordMetric kAlertB{"alert_b", "voltage_alarm_code", "Alarm code of the phase voltage (0 normal)", "b", R::Value, nullptr};
constexpr RecordMetric kAlertC{"alert_c", "voltage_alarm_code", "Alarm code of the phase voltage (0 normal)", "c", R::Value, nullptr};
constexpr RecordMetric kAlertF{"alert_f", "frequency_alarm_code", "Alarm code of the frequency (0 normal)", nullptr, R::Value, nullptr};
constexpr RecordMetric kOutI{"out_i", "output_current_amperes", "Module output current", nullptr, R::Value, nullptr};
constexpr RecordMetric kShutdown{"shutdown", "shutdown_state", "On/off state (0 on)", nullptr, R::Value, nullptr};
constexpr RecordMetric kILimit{"i_limit", "current_limit_state", "Current-limit state", nullptr, R::Value, nullptr};
constexpr RecordMetric kCharge{"charge", "charge_state", "Charge state", nullptr, R::Value, nullptr};
constexpr RecordMetric kFault{"fault", "fault_code", "Module fault code (0 normal)", nullptr, R::Value, nullptr};
constexpr RecordMetric kDcV{"v", "voltage_volts", "DC bus voltage", nullptr, R::Value, nullptr};
constexpr RecordMetric kDcI{"i", "current_amperes", "Total DC current", nullptr, R::Value, nullptr};
constexpr RecordMetric kAlertV{"alert_v", "voltage_alarm_code", "DC voltage alarm code (0 normal)", nullptr, R::Value, nullptr};
constexpr RecordMetric kFuses{"fuses", "fuses", "Load fuses reported", nullptr, R::Entries, "dc.alert_m"};
constexpr RecordMetric kFusesBlown{"fuses_blown", "fuses_blown", "Load fuses reported blown", nullptr, R::NonZero, nullptr};

constexpr RecordField kFields[] = {
    // The record.
    {G::Record, "data_id", 0, T::U32, 1, nullptr, G::None, "", "data ID of the record"},
    {G::Record, "ac", 4, T::Struct, 1, nullptr, G::Ac, "", "AC distribution"},
    {G::Record, "ac_channels", 36, T::Struct, 2, nullptr, G::AcInput, "", "AC inputs (both always)"},
    {G::Record, "out_v", 96, T::F32, 1, nullptr, G::None, "V", "rectifier output voltage", &kOutV},
    {G::Record, "channel_count", 100, T::U8, 1, nullptr, G::None, "", "rectifier modules reported", &kModules},
    {G::Record, "channels", 101, T::Struct, 40, "channel_count", G::Rectifier, "", "rectifier modules"},
    {G::Record, "dc", 2221, T::Struct, 1, nullptr, G::DcPanel, "", "DC distribution panel 1"},
    {G::Record, "update_time", 2459, T::Time, 1, nullptr, G::None, "", "time the round completed"},
    {G::Record, "dc2", 2466, T::Struct, 1, nullptr, G::DcPanel, "", "DC distribution panel 2"},
    // The AC distribution.
    {G::Ac, "ac.data_id", 0, T::U32, 1, nullptr, G::None, "", "data ID of the section"},
    {G::Ac, "ac.ia", 4, T::F32, 1, nullptr, G::None, "A", "phase A current", &kIa},
    {G::Ac, "ac.ib", 8, T::F32, 1, nullptr, G::None, "A", "phase B current", &kIb},
    {G::Ac, "ac.ic", 12, T::F32, 1, nullptr, G::None, "A", "phase C current", &kIc},
    {G::Ac, "ac.channel_count", 16, T::U8, 1, nullptr, G::None, "", "AC inputs reported", &kInputs},
    {G::Ac, "ac.airlock_count", 17, T::U8, 1, nullptr, G::None, "", "breakers reported"},
    {G::Ac, "ac.airlock_status", 18, T::U8, 0, "airlock_count", G::None, "", "breaker states"},
    {G::Ac, "ac.p40_43_count", 18, T::U8, 1, nullptr, G::None, "", "AC status values reported"},
    {G::Ac, "ac.p40_43", 19, T::U8, 3, "p40_43_count", G::None, "", "AC status values"},
    {G::Ac, "ac.ia_alert", 22, T::U8, 1, nullptr, G::None, "", "phase A current alarm code (0 normal)", &kIaAlert},
    {G::Ac, "ac.ib_alert", 23, T::U8, 1, nullptr, G::None, "", "phase B current alarm code (0 normal)", &kIbAlert},
    {G::Ac, "ac.ic_alert", 24, T::U8, 1, nullptr, G::None, "", "phase C current alarm code (0 normal)", &kIcAlert},
    {G::Ac, "ac.update_time", 25, T::Time, 1, nullptr, G::None, "", "time of the AC values"},
    // One AC input.
    {G::AcInput, "ac_channels[i].a", 0, T::F32, 1, nullptr, G::None, "V", "phase A voltage", &kVa},
    {G::AcInput, "ac_channels[i].b", 4, T::F32, 1, nullptr, G::None, "V", "phase B voltage", &kVb},
    {G::AcInput, "ac_channels[i].c", 8, T::F32, 1, nullptr, G::None, "V", "phase C voltage", &kVc},
    {G::AcInput, "ac_channels[i].f", 12, T::F32, 1, nullptr, G::None, "Hz", "frequency", &kFreq},
    {G::AcInput, "ac_channels[i].p40_41_count", 16, T::U8, 1, nullptr, G::None, "", "user values reported"},
    {G::AcInput, "ac_channels[i].p40_41", 17, T::F32, 0, "p40_41_count", G::None, "", "user values"},
    {G::AcInput, "ac_channels[i].alert_a", 17, T::U8, 1, nullptr, G::None, "", "phase A voltage alarm code (0 normal)", &kAlertA},
    {G::AcInput, "ac_channels[i].alert_b", 18, T::U8, 1, nullptr, G::None, "", "phase B voltage alarm code (0 normal)", &kAlertB},
    {G::AcInput, "ac_channels[i].alert_c", 19, T::U8, 1, nullptr, G::None, "", "phase C voltage alarm code (0 normal)", &kAlertC},
    {G::AcInput, "ac_channels[i].alert_f", 20, T::U8, 1, nullptr, G::None, "", "frequency alarm code (0 normal)", &kAlertF},
    {G::AcInput, "ac_channels[i].p40_44_count", 21, T::U8, 1, nullptr, G::None, "", "user alarm codes reported"},
    {G::AcInput, "ac_channels[i].p40_44", 22, T::U8, 8, "p40_44_count", G::None, "", "user alarm codes (breakers first)"},
    // One rectifier module.
    {G::Rectifier, "channels[j].out_i", 0, T::F32, 1, nullptr, G::None, "A", "module output current", &kOutI},
    {G::Rectifier, "channels[j].p41_41_count", 4, T::U8, 1, nullptr, G::None, "", "user values reported"},
    {G::Rectifier, "channels[j].p41_41", 5, T::F32, 7, "p41_41_count", G::None, "", "user values"},
    {G::Rectifier, "channels[j].shutdown", 33, T::U8, 1, nullptr, G::None, "", "on/off state (0 on)", &kShutdown},
    {G::Rectifier, "channels[j].i_limit", 34, T::U8, 1, nullptr, G::None, "", "current-limit state", &kILimit},
    {G::Rectifier, "channels[j].charge", 35, T::U8, 1, nullptr, G::None, "", "charge state", &kCharge},
    {G::Rectifier, "channels[j].p41_43_count", 36, T::U8, 1, nullptr, G::None, "", "user states reported"},
    {G::Rectifier, "channels[j].p41_43", 37, T::U8, 6, "p41_43_count", G::None, "", "user states"},
    {G::Rectifier, "channels[j].fault", 43, T::U8, 1, nullptr, G::None, "", "module fault code (0 normal)", &kFault},
    {G::Rectifier, "channels[j].p41_44_count", 44, T::U8, 1, nullptr, G::None, "", "user alarm codes reported"},
    {G::Rectifier, "channels[j].p41_44", 45, T::U8, 8, "p41_44_count", G::None, "", "user alarm codes"},
    // One DC distribution panel (dc and dc2).
    {G::DcPanel, "dc.data_id", 0, T::U32, 1, nullptr, G::None, "", "data ID of the section"},
    {G::DcPanel, "dc.v", 4, T::F32, 1, nullptr, G::None, "V", "DC bus voltage", &kDcV},
    {G::DcPanel, "dc.i", 8, T::F32, 1, nullptr, G::None, "A", "total DC current", &kDcI},
    {G::DcPanel, "dc.m", 12, T::U8, 1, nullptr, G::None, "", "battery string currents reported"},
    {G::DcPanel, "dc.dc_i", 13, T::F32, 2, "m", G::None, "A", "battery string currents (+ charging, - discharging)"},
    {G::DcPanel, "dc.n", 21, T::U8, 1, nullptr, G::None, "", "channel values reported"},
    {G::DcPanel, "dc.channel", 22, T::F32, 0, "n", G::None, "", "channel values"},
    {G::DcPanel, "dc.p_count", 22, T::U8, 1, nullptr, G::None, "", "user values reported"},
    {G::DcPanel, "dc.p", 23, T::F32, 27, "p_count", G::None, "", "user values"},
    {G::DcPanel, "dc.alert_v", 131, T::U8, 1, nullptr, G::None, "", "DC voltage alarm code (0 normal)", &kAlertV},
    {G::DcPanel, "dc.alert_m_count", 132, T::U8, 1, nullptr, G::None, "", "load fuses reported", &kFuses},
    {G::DcPanel, "dc.alert_m", 133, T::U8, 10, "alert_m_count", G::None, "", "load fuse alarm codes (0 normal)", &kFusesBlown},
    {G::DcPanel, "dc.alert_p_count", 143, T::U8, 1, nullptr, G::None, "", "user alarm codes reported"},
    {G::DcPanel, "dc.alert_p", 144, T::U8, 87, "alert_p_count", G::None, "", "user alarm codes"},
    {G::DcPanel, "dc.update_time", 231, T::Time, 1, nullptr, G::None, "", "time of the DC values"},
};
// clang-format on

constexpr size_t kFieldCount = sizeof kFields / sizeof kFields[0];

constexpr size_t type_bytes(T t) {
    switch (t) {
        case T::U8:
            return 1;
        case T::U32:
        case T::F32:
            return 4;
        case T::Time:
            return sizeof(ttime);
        case T::Struct:
            break;
    }
    return 0;
}

constexpr size_t group_size(G g) {
    switch (g) {
        case G::Record:
            return sizeof(veltra_record_t);
        case G::Ac:
            return sizeof(veltra_ac_t);
        case G::AcInput:
            return sizeof(veltra_ac_channel_t);
        case G::Rectifier:
            return sizeof(veltra_rc_channel_t);
        case G::DcPanel:
            return sizeof(veltra_dc_t);
        case G::None:
            break;
    }
    return 0;
}

// Every field lies inside its struct.
constexpr bool fields_inside() {
    for (const RecordField& f : kFields) {
        const size_t each = f.type == T::Struct ? group_size(f.element) : type_bytes(f.type);
        if (f.offset + f.size * each > group_size(f.group)) return false;
    }
    return true;
}
static_assert(fields_inside(), "every field lies inside its struct");

// Per group, the fields in key order (JSON members), and the offset of each
// array's count member.
struct Index {
    std::array<std::vector<const RecordField*>, 5> sorted;
    // Per group, in the same order, the member's key text ("name":), made once.
    std::array<std::vector<std::string>, 5> keys;
    std::array<int, kFieldCount> count_offset{};
    Index() {
        for (const RecordField& f : kFields) sorted[static_cast<size_t>(f.group)].push_back(&f);
        for (size_t g = 0; g < sorted.size(); ++g) {
            auto& v = sorted[g];
            std::sort(v.begin(), v.end(), [](const RecordField* a, const RecordField* b) {
                return std::strcmp(field_name(*a), field_name(*b)) < 0;
            });
            for (const RecordField* f : v)
                keys[g].push_back('"' + std::string(field_name(*f)) + "\":");
        }
        for (size_t k = 0; k < kFieldCount; ++k) {
            const RecordField* c =
                kFields[k].count ? find_field(kFields[k].group, kFields[k].count) : nullptr;
            count_offset[k] = c ? c->offset : -1;
        }
    }
};

const Index& index() {
    static const Index i;
    return i;
}

void put_uint(std::string& out, uint32_t v) {
    char buf[16];
    const char* end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    out.append(buf, static_cast<size_t>(end - buf));
}

void put_time(std::string& out, const unsigned char* p) {
    ttime t;
    std::memcpy(&t, p, sizeof t);
    out += "{\"day\":";
    put_uint(out, t.day);
    out += ",\"hour\":";
    put_uint(out, t.hour);
    out += ",\"minute\":";
    put_uint(out, t.minute);
    out += ",\"month\":";
    put_uint(out, t.month);
    out += ",\"second\":";
    put_uint(out, t.second);
    out += ",\"year\":";
    put_uint(out, t.year);
    out += '}';
}

void put_group(std::string& out, G g, const unsigned char* base);

void put_element(std::string& out, const RecordField& f, const unsigned char* p) {
    switch (f.type) {
        case T::U8:
            put_uint(out, *p);
            break;
        case T::U32:
            put_uint(out, load_le_u32(p));
            break;
        case T::F32:
            smd::append_json_float(out, load_le_f32(p));
            break;
        case T::Time:
            put_time(out, p);
            break;
        case T::Struct:
            put_group(out, f.element, p);
            break;
    }
}

void put_group(std::string& out, G g, const unsigned char* base) {
    out += '{';
    const Index& ix = index();
    const auto& fields = ix.sorted[static_cast<size_t>(g)];
    const auto& keys = ix.keys[static_cast<size_t>(g)];
    for (size_t m = 0; m < fields.size(); ++m) {
        const RecordField* f = fields[m];
        if (m) out += ',';
        out += keys[m];
        const unsigned char* p = base + f->offset;
        if (!is_array(*f)) {
            put_element(out, *f, p);
            continue;
        }
        out += '[';
        const size_t n = valid_entries(*f, base);
        const size_t each = element_bytes(*f);
        for (size_t k = 0; k < n; ++k) {
            if (k) out += ',';
            put_element(out, *f, p + k * each);
        }
        out += ']';
    }
    out += '}';
}

}  // namespace

const RecordField* record_fields_begin() { return kFields; }
const RecordField* record_fields_end() { return kFields + kFieldCount; }

const char* field_name(const RecordField& f) {
    const char* dot = std::strrchr(f.path, '.');
    return dot ? dot + 1 : f.path;
}

size_t element_bytes(const RecordField& f) {
    return f.type == T::Struct ? group_size(f.element) : type_bytes(f.type);
}

size_t group_bytes(Group g) { return group_size(g); }

const RecordField* find_field(Group g, const char* name) {
    for (const RecordField& f : kFields)
        if (f.group == g && std::strcmp(field_name(f), name) == 0) return &f;
    return nullptr;
}

size_t valid_entries(const RecordField& f, const unsigned char* base) {
    const int at = index().count_offset[static_cast<size_t>(&f - kFields)];
    if (at < 0) return f.size;
    return std::min<size_t>(base[at], f.size);
}

const RecordField* group_begin(Group g) {
    const RecordField* f = kFields;
    while (f != kFields + kFieldCount && f->group != g) ++f;
    return f;
}

const RecordField* group_end(Group g) {
    const RecordField* f = group_begin(g);
    while (f != kFields + kFieldCount && f->group == g) ++f;
    return f;
}

const RecordField* find_path(const char* path) {
    for (const RecordField& f : kFields)
        if (std::strcmp(f.path, path) == 0) return &f;
    return nullptr;
}

size_t reported_entries(const RecordField& section, const unsigned char* record) {
    // The AC inputs have no count of their own: the AC distribution's
    // channel_count says how many the plant reported.
    if (section.group == G::Record && std::strcmp(section.path, "ac_channels") == 0)
        return std::min<size_t>(
            record[offsetof(veltra_record_t, ac) + offsetof(veltra_ac_t, channel_count)],
            section.size);
    return valid_entries(section, record);
}

unsigned reported_ac_inputs(const veltra_record_t& r) {
    static const RecordField* const inputs = find_path("ac_channels");
    return static_cast<unsigned>(
        reported_entries(*inputs, reinterpret_cast<const unsigned char*>(&r)));
}

unsigned reported_modules(const veltra_record_t& r) {
    static const RecordField* const modules = find_path("channels");
    return static_cast<unsigned>(
        reported_entries(*modules, reinterpret_cast<const unsigned char*>(&r)));
}

size_t nonzero_entries(const RecordField& f, const unsigned char* base) {
    const size_t n = valid_entries(f, base);
    const size_t each = element_bytes(f);
    size_t nonzero = 0;
    for (size_t k = 0; k < n; ++k) {
        const unsigned char* p = base + f.offset + k * each;
        if (std::any_of(p, p + each, [](unsigned char b) { return b != 0; })) ++nonzero;
    }
    return nonzero;
}

std::string value_path(const RecordValue& v) {
    std::string path;
    if (v.section) {
        path = v.section->path;
        if (is_array(*v.section)) path += "[" + std::to_string(v.instance) + "]";
        path += '.';
    }
    path += field_name(*v.field);
    if (is_array(*v.field)) path += "[" + std::to_string(v.index) + "]";
    return path;
}

bool has_second_panel(const veltra_record_t& r) {
    return r.dc2.v != 0.0f || r.dc2.alert_m_count != 0;
}

namespace {
const RecordField& fuse_codes() {
    static const RecordField* const f = find_path("dc.alert_m");
    return *f;
}
}  // namespace

unsigned reported_fuses(const veltra_dc_t& panel) {
    return static_cast<unsigned>(
        valid_entries(fuse_codes(), reinterpret_cast<const unsigned char*>(&panel)));
}

unsigned blown_fuses(const veltra_dc_t& panel) {
    return static_cast<unsigned>(
        nonzero_entries(fuse_codes(), reinterpret_cast<const unsigned char*>(&panel)));
}

void record_json_text(std::string& out, const unsigned char* data, size_t length) {
    if (data == nullptr || length != kRecordSize) {
        out += "null";
        return;
    }
    put_group(out, G::Record, data);
}

}  // namespace veltra
