#include "tools/smdgw/output/record_compact.h"

#include <charconv>
#include <cstring>
#include <vector>

#include "host/number_text.h"
#include "record/record_fields.h"

namespace smdgw {

namespace {

using veltra::FieldType;
using veltra::Group;
using veltra::RecordField;

// The short keys. A field not listed is left out.
//   {"channels[j].i_limit", "lim"}: a module's current-limit state as "lim"
constexpr CompactKey kKeys[] = {
    {"ac", "ac"},
    {"ac_channels", "in", "the AC inputs reported (ac.channel_count)"},
    {"out_v", "v"},
    {"channels", "m", "the rectifier modules reported (channel_count)"},
    {"dc", "dc"},
    {"dc2", "dc2", "DC distribution panel 2, when it reports a voltage or fuses"},
    {"ac.ia", "ia"},
    {"ac.ib", "ib"},
    {"ac.ic", "ic"},
    {"ac.airlock_status", "br"},
    {"ac.p40_43", "st"},
    {"ac.ia_alert", "xa"},
    {"ac.ib_alert", "xb"},
    {"ac.ic_alert", "xc"},
    {"ac_channels[i].a", "a"},
    {"ac_channels[i].b", "b"},
    {"ac_channels[i].c", "c"},
    {"ac_channels[i].f", "f"},
    {"ac_channels[i].p40_41", "u"},
    {"ac_channels[i].alert_a", "xa"},
    {"ac_channels[i].alert_b", "xb"},
    {"ac_channels[i].alert_c", "xc"},
    {"ac_channels[i].alert_f", "xf"},
    {"ac_channels[i].p40_44", "xu"},
    {"channels[j].out_i", "i"},
    {"channels[j].p41_41", "u"},
    {"channels[j].shutdown", "off"},
    {"channels[j].i_limit", "lim"},
    {"channels[j].charge", "chg"},
    {"channels[j].p41_43", "us"},
    {"channels[j].fault", "x"},
    {"channels[j].p41_44", "xu"},
    {"dc.v", "v"},
    {"dc.i", "i"},
    {"dc.dc_i", "bi"},
    {"dc.channel", "ch"},
    {"dc.p", "u"},
    {"dc.alert_v", "xv"},
    {"dc.alert_m", "xf"},
    {"dc.alert_p", "xu"},
};

// The short key of every field of the record's table, looked up once.
const char* key_of(const RecordField& f) {
    static const std::vector<const char*> keys = [] {
        std::vector<const char*> v;
        for (const RecordField* g = veltra::record_fields_begin(); g != veltra::record_fields_end();
             ++g) {
            const char* key = nullptr;
            for (const CompactKey& k : kKeys)
                if (std::strcmp(g->path, k.path) == 0) key = k.key;
            v.push_back(key);
        }
        return v;
    }();
    return keys[static_cast<size_t>(&f - veltra::record_fields_begin())];
}

void put_number(std::string& out, const RecordField& f, const unsigned char* p) {
    if (f.type == FieldType::F32) {
        const size_t at = out.size();
        smd::append_json_float(out, load_le_f32(p));
        // The full record marks whole floats with ".0"; here they go bare.
        if (out.size() >= at + 2 && out.compare(out.size() - 2, 2, ".0") == 0)
            out.resize(out.size() - 2);
        return;
    }
    char buf[16];
    const uint32_t v = f.type == FieldType::U32 ? load_le_u32(p) : *p;
    out.append(buf, static_cast<size_t>(std::to_chars(buf, buf + sizeof buf, v).ptr - buf));
}

void put_group(std::string& out, Group g, const unsigned char* base, const unsigned char* record);

void put_key(std::string& out, bool& first, const char* key) {
    if (!first) out += ',';
    first = false;
    out += '"';
    out += key;
    out += "\":";
}

// One element of a field: a number, or a section's object.
void put_element(std::string& out, const RecordField& f, const unsigned char* p,
                 const unsigned char* record) {
    if (f.type == FieldType::Struct)
        put_group(out, f.element, p, record);
    else
        put_number(out, f, p);
}

void put_group(std::string& out, Group g, const unsigned char* base, const unsigned char* record) {
    out += '{';
    bool first = true;
    const auto& r = *reinterpret_cast<const veltra_record_t*>(record);
    for (const RecordField* f = veltra::group_begin(g); f != veltra::group_end(g); ++f) {
        const char* key = key_of(*f);
        if (!key || f->type == FieldType::Time) continue;
        const unsigned char* p = base + f->offset;
        if (!veltra::is_array(*f)) {
            if (std::strcmp(f->path, "dc2") == 0 && !veltra::has_second_panel(r)) continue;
            put_key(out, first, key);
            put_element(out, *f, p, record);
            continue;
        }
        // Sections as reported (modules and AC inputs up to their counts),
        // arrays up to their counts; an empty one is left out.
        const size_t n = f->type == FieldType::Struct ? veltra::reported_entries(*f, record)
                                                      : veltra::valid_entries(*f, base);
        if (n == 0) continue;
        put_key(out, first, key);
        out += '[';
        for (size_t k = 0; k < n; ++k) {
            if (k) out += ',';
            put_element(out, *f, p + k * veltra::element_bytes(*f), record);
        }
        out += ']';
    }
    out += '}';
}

}  // namespace

const CompactKey* compact_keys_begin() { return kKeys; }
const CompactKey* compact_keys_end() { return kKeys + sizeof kKeys / sizeof kKeys[0]; }

void record_compact_text(std::string& out, const unsigned char* data, size_t length) {
    if (!data || length != sizeof(veltra_record_t)) {
        out += "null";
        return;
    }
    put_group(out, Group::Record, data, data);
}

}  // namespace smdgw
