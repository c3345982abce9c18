#pragma once
// JSON rendering of the device data record for tools: the record's own field names, nested as
// the record is, arrays cut to their count (and never beyond their size). The text comes from
// the record's field table (record_fields.h, record_json_text); these give it as a tree.

#include <json/json.h>

#include <cstddef>
#include <cstdint>

#include "record/veltra_record.h"

Json::Value record_to_json(const veltra_quelm_k418t_419_Data_t& rec);

// Renders raw record bytes; null unless exactly one record's worth of bytes is given.
Json::Value record_to_json_bytes(const uint8_t* data, size_t len);
