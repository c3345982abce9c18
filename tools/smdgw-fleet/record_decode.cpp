#include "tools/smdgw-fleet/record_decode.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "record/record_fields.h"
#include "tools/smdgw/output/record_compact.h"

namespace smdgw {

namespace {

using veltra::FieldType;
using veltra::Group;
using veltra::RecordField;

// The key a field has in the payload: its member name, or its short key.
const char* payload_key(const RecordField& f, bool compact) {
    if (!compact) return veltra::field_name(f);
    for (const CompactKey* k = compact_keys_begin(); k != compact_keys_end(); ++k)
        if (std::strcmp(k->path, f.path) == 0) return k->key;
    return nullptr;
}

void put_number(const RecordField& f, const Json::Value& v, unsigned char* p) {
    if (f.type == FieldType::F32) {
        store_le_f32(p, v.isNumeric() ? v.asFloat() : std::numeric_limits<float>::quiet_NaN());
        return;
    }
    // Codes and counts: whole numbers within the field's range, else 0.
    const double d = v.isNumeric() ? v.asDouble() : 0.0;
    const double max = f.type == FieldType::U32 ? 4294967295.0 : 255.0;
    const double n = std::isfinite(d) && d >= 0.0 && d <= max ? std::floor(d) : 0.0;
    if (f.type == FieldType::U32)
        store_le_u32(p, static_cast<uint32_t>(n));
    else
        *p = static_cast<unsigned char>(n);
}

void put_group(const Json::Value& obj, Group g, unsigned char* base, bool compact);

void put_element(const RecordField& f, const Json::Value& v, unsigned char* p, bool compact) {
    if (f.type == FieldType::Struct) {
        if (v.isObject()) put_group(v, f.element, p, compact);
    } else {
        put_number(f, v, p);
    }
}

void put_group(const Json::Value& obj, Group g, unsigned char* base, bool compact) {
    for (const RecordField* f = veltra::group_begin(g); f != veltra::group_end(g); ++f) {
        if (f->type == FieldType::Time) continue;
        const char* key = payload_key(*f, compact);
        if (!key) continue;
        const Json::Value* v = obj.find(key, key + std::strlen(key));
        if (!v) continue;
        unsigned char* p = base + f->offset;
        if (!veltra::is_array(*f)) {
            put_element(*f, *v, p, compact);
            continue;
        }
        if (!v->isArray()) continue;
        const size_t n = std::min<size_t>(v->size(), f->size);
        for (size_t k = 0; k < n; ++k)
            put_element(*f, (*v)[static_cast<Json::ArrayIndex>(k)],
                        p + k * veltra::element_bytes(*f), compact);
        // The compact form leaves the counts out: the array's length is one.
        if (compact && f->count) {
            if (const RecordField* c = veltra::find_field(g, f->count))
                *(base + c->offset) = static_cast<unsigned char>(n);
        }
    }
}

}  // namespace

bool decode_record(const Json::Value& message, veltra_record_t& out) {
    std::memset(&out, 0, sizeof out);
    auto* bytes = reinterpret_cast<unsigned char*>(&out);
    const Json::Value& full = message["record"];
    if (full.isObject()) {
        put_group(full, Group::Record, bytes, false);
        return true;
    }
    const Json::Value& compact = message["compact"];
    if (!compact.isObject()) return false;
    put_group(compact, Group::Record, bytes, true);
    // The AC inputs reported are the ones listed.
    const Json::Value& inputs = compact["in"];
    out.ac.channel_count = static_cast<uint8_t>(inputs.isArray() ? std::min<Json::ArrayIndex>(inputs.size(), kAcChannels) : 0);
    return true;
}

}  // namespace smdgw
