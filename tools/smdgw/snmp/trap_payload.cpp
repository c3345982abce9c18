#include "tools/smdgw/snmp/trap_payload.h"

#include <cstdint>

#include "tools/smdgw/snmp/snmp_options.h"

namespace smdgw::snmp {

namespace {

constexpr char kHex[] = "0123456789abcdef";

char type_letter(MibValue::Type t) {
    switch (t) {
        case MibValue::Type::Integer: return 'i';
        case MibValue::Type::Unsigned: return 'u';
        case MibValue::Type::Counter64: return 'c';
        case MibValue::Type::TimeTicks: return 't';
        case MibValue::Type::Octets: return 's';
        case MibValue::Type::ObjectId: break;
    }
    return 'o';
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Decimal digits with an optional minus, within [lo, hi].
bool parse_integer(const std::string& t, bool sign, uint64_t most, int64_t& signed_out,
                   uint64_t& out) {
    size_t at = 0;
    const bool negative = sign && !t.empty() && t[0] == '-';
    if (negative) at = 1;
    if (at >= t.size() || t.size() - at > 20) return false;
    uint64_t v = 0;
    for (; at < t.size(); ++at) {
        const int d = t[at] - '0';
        if (d < 0 || d > 9) return false;
        if (v > (most - static_cast<uint64_t>(d)) / 10) return false;
        v = v * 10 + static_cast<uint64_t>(d);
    }
    out = v;
    signed_out = negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    return true;
}

bool parse_value(char type, const std::string& text, MibValue& v) {
    int64_t n = 0;
    uint64_t u = 0;
    switch (type) {
        case 'i':
            if (!parse_integer(text, true, 2147483648ULL, n, u) || n > 2147483647) return false;
            v = MibValue::integer(n);
            return true;
        case 'u':
        case 't':
            if (!parse_integer(text, false, 4294967295ULL, n, u)) return false;
            v = type == 'u' ? MibValue::unsigned32(u) : MibValue::ticks(static_cast<uint32_t>(u));
            return true;
        case 'c':
            if (!parse_integer(text, false, UINT64_MAX, n, u)) return false;
            v = MibValue::counter64(u);
            return true;
        case 's': {
            if (text.size() % 2 != 0) return false;
            std::string bytes;
            bytes.reserve(text.size() / 2);
            for (size_t k = 0; k < text.size(); k += 2) {
                const int hi = hex_digit(text[k]), lo = hex_digit(text[k + 1]);
                if (hi < 0 || lo < 0) return false;
                bytes.push_back(static_cast<char>(hi * 16 + lo));
            }
            v = MibValue::text(std::move(bytes));
            return true;
        }
        case 'o': {
            Oid o;
            std::string error;
            if (!parse_oid(text, o, error)) return false;
            v = MibValue::object_id(std::move(o));
            return true;
        }
        default: return false;
    }
}

}  // namespace

std::string trap_payload(const Oid& trap, const std::vector<MibVar>& vars) {
    std::string p = "T " + oid_text(trap) + "\n";
    for (const MibVar& var : vars) {
        p += "V " + oid_text(var.name) + " " + type_letter(var.value.type) + " ";
        const MibValue& v = var.value;
        switch (v.type) {
            case MibValue::Type::Integer:
            case MibValue::Type::Unsigned:
            case MibValue::Type::TimeTicks: p += std::to_string(v.number); break;
            case MibValue::Type::Counter64: p += std::to_string(v.counter); break;
            case MibValue::Type::Octets:
                for (unsigned char c : v.octets) {
                    p += kHex[c >> 4];
                    p += kHex[c & 15];
                }
                break;
            case MibValue::Type::ObjectId: p += oid_text(v.oid); break;
        }
        p += "\n";
    }
    return p;
}

bool parse_trap_payload(const std::string& payload, StoredTrap& out, std::string& error) {
    out = StoredTrap();
    if (payload.size() > kMaxTrapPayload) {
        error = "longer than " + std::to_string(kMaxTrapPayload) + " bytes";
        return false;
    }
    size_t at = 0, line_no = 0;
    while (at < payload.size()) {
        const size_t end = payload.find('\n', at);
        if (end == std::string::npos) {
            error = "the last line has no end";
            return false;
        }
        const std::string line = payload.substr(at, end - at);
        at = end + 1;
        ++line_no;
        const auto bad = [&](const std::string& why) {
            error = "line " + std::to_string(line_no) + ": " + why;
            return false;
        };
        if (line.size() < 3 || line[1] != ' ') return bad("not \"T OID\" or \"V OID TYPE VALUE\"");
        const std::string rest = line.substr(2);
        if (line[0] == 'T') {
            if (line_no != 1) return bad("a second notification OID");
            if (!parse_oid(rest, out.trap, error)) return bad(error);
            continue;
        }
        if (line[0] != 'V' || line_no == 1) return bad("the notification OID must come first");
        if (out.vars.size() >= kMaxTrapVars)
            return bad("more than " + std::to_string(kMaxTrapVars) + " bindings");
        const size_t sp = rest.find(' ');
        if (sp == std::string::npos || sp + 2 > rest.size() ||
            (sp + 2 < rest.size() && rest[sp + 2] != ' '))
            return bad("not \"V OID TYPE VALUE\"");
        MibVar var;
        if (!parse_oid(rest.substr(0, sp), var.name, error)) return bad(error);
        const std::string value = sp + 3 <= rest.size() ? rest.substr(sp + 3) : std::string();
        if (!parse_value(rest[sp + 1], value, var.value))
            return bad(std::string("not a value of type ") + rest[sp + 1]);
        out.vars.push_back(std::move(var));
    }
    if (out.trap.empty()) {
        error = "no notification OID";
        return false;
    }
    return true;
}

}  // namespace smdgw::snmp
