#pragma once
// The analog fields of the device record as spreadsheet columns, taken from
// the record's field table (record/record_fields.h): its float fields with a
// unit give the column names and the cells of every exported row.

#include <cstddef>
#include <string>
#include <vector>

namespace smdgw {

// Column names, in table order ("out_v", "ac_channels[0].a", "channels[39].out_i", ...).
std::vector<std::string> analog_column_names();

// One cell per column from a whole record: the float's shortest decimal text;
// empty for NaN or infinity and for array entries beyond the record's count.
std::vector<std::string> analog_cells(const unsigned char* record);

}  // namespace smdgw
