#pragma once
// The record in the compact form of --mqtt-payload compact: only what the
// plant reported, under short keys, numbers in their shortest text. A
// metered uplink carries about half the bytes of the full record.
//
//   {"ac":{"ia":8.26,"ib":8.34,"ic":8.18,"xa":0,"xb":0,"xc":0},
//    "in":[{"a":228.5,"b":227.4,"c":229.3,"f":50,"xa":0,...,"xu":[0,0,0,0,0,0,0,0]}],
//    "m":[{"i":2.41,"u":[35.24,228.5,53.5],"off":0,"lim":0,"chg":0,"us":[0,0],"x":0,...}],
//    "dc":{"v":53.5,"i":48.59,"bi":[29.15,19.44],"u":[25],"xv":0,"xf":[0,0,0,0,0,0]},
//    "v":53.5}
//
// Left out: the counts (an array's length is its count), arrays the plant
// reported empty, AC inputs and modules beyond the counts, a second DC panel
// that reports nothing, the sections' data IDs and times (the message's
// "time" says when).

#include <string>

namespace smdgw {

// One short key: the record's dump path (record/record_fields.h) it stands for.
struct CompactKey {
    const char* path;
    const char* key;
    const char* note = nullptr;  // what the docs say instead of the field's meaning
};

// Every field the compact form carries, in the record's member order.
const CompactKey* compact_keys_begin();
const CompactKey* compact_keys_end();

// The compact object of a record's bytes; "null" unless exactly one record.
void record_compact_text(std::string& out, const unsigned char* data, size_t length);

}  // namespace smdgw
