#pragma once
// A published record read back into the plant's record, so that the fleet
// collector turns it into samples with the gateway's own code
// (record_samples, the same fields as `smdgw --format influx`).
//
// Both payload forms: "record" (the JSON output's record: member names of the
// record's field table, arrays cut to their counts) and "compact" (the short
// keys of record_compact.h, counts left out: an array's length is its count).
// Every array is bounded by its length in the record; a value that is not a
// number reads as NaN (a float, left out of the samples) or 0.

#include <json/value.h>

#include "record/veltra_record.h"

namespace smdgw {

// False when the message holds neither form.
bool decode_record(const Json::Value& message, veltra_record_t& out);

}  // namespace smdgw
