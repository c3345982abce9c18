#include "tools/smdgw/modbus/register_map_text.h"

#include <cmath>
#include <map>
#include <sstream>

#include "record/record_fields.h"
#include "tools/smdgw/modbus/modbus_limits.h"
#include "tools/smdgw/modbus/register_map.h"

namespace smdgw::modbus {

namespace {

const char* type_text(RegType t) {
    switch (t) {
        case RegType::UInt16:
            return "uint16";
        case RegType::Int16:
            return "int16";
        case RegType::Float32:
            return "float32";
    }
    return "";
}

// A record member's meaning, from the record field table.
std::string record_what(const char* section, const char* member) {
    const veltra::RecordField* s = *section ? veltra::find_path(section) : nullptr;
    const veltra::RecordField* f =
        veltra::find_field(s ? s->element : veltra::Group::Record, member);
    if (!f) return "(not in the record)";
    return std::string(f->what) + (s ? " (" + std::string(s->what) + ")" : "");
}

std::string number(double v) {
    if (std::floor(v) == v) return std::to_string(static_cast<long long>(v));
    std::ostringstream o;
    o << v;
    return o.str();
}

}  // namespace

std::string register_map_markdown() {
    // One line per value, in address order: a row's elements lie apart.
    std::map<size_t, std::string> lines;
    for (const MapRow& r : kRegisterMap)
        for (size_t i = 0; i < r.instances; ++i)
            for (size_t k = 0; k < r.entries; ++k) {
                const size_t at = r.address + i * r.stride + k * register_width(r.type);
                std::ostringstream line;
                line << "| " << at << " | " << register_width(r.type) << " | `"
                     << value_name(r, i, k) << "` | " << type_text(r.type) << " | "
                     << (r.type == RegType::Float32 ? "" : "x" + number(r.scale)) << " | "
                     << r.unit << " | "
                     << (r.source == Source::Record ? record_what(r.section, r.member) : r.what)
                     << " |\n";
                lines[at] = line.str();
            }
    std::string out =
        "\n| Address | Registers | Value | Type | Scale | Unit | Meaning |\n"
        "|---|---|---|---|---|---|---|\n";
    for (const auto& [at, line] : lines) out += line;
    return out;
}

std::string alarm_bits_markdown() {
    std::map<size_t, std::string> lines;
    for (const BitRow& r : kAlarmBits)
        for (size_t i = 0; i < r.instances; ++i)
            for (size_t k = 0; k < r.entries; ++k) {
                const size_t at = r.index + i * r.stride + k;
                lines[at] = "| " + std::to_string(at) + " | `" + bit_name(r, i, k) + "` | " +
                            (r.source == BitSource::Record
                                 ? record_what(r.section, r.member) + " is not 0"
                                 : std::string(r.what)) +
                            " |\n";
            }
    std::string out = "\n| Index | Alarm | Set when |\n|---|---|---|\n";
    for (const auto& [at, line] : lines) out += line;
    return out;
}

std::string limits_markdown() {
    std::ostringstream out;
    out << "\n| Bound | Value | Option | Past it |\n|---|---|---|---|\n";
    for (const ModbusLimit& l : kModbusLimits)
        out << "| " << l.what << " | " << number(l.value) << " " << l.unit << " | "
            << (l.option ? "`" + std::string(l.option) + "`" : "fixed") << " | " << l.past_it
            << " |\n";
    return out.str();
}

}  // namespace smdgw::modbus
