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

// The float's shortest decimal text that reads back as the same float;
// empty for NaN or infinity.
std::string float_text(float v);

// One value per column from a whole record, into out (resized to the column
// count): NaN where analog_cells gives an empty cell.
void analog_values(const unsigned char* record, std::vector<float>& out);

// The record's top-level member of each column ("out_v", "ac_channels",
// "channels", "dc2"), in column order.
std::vector<std::string> analog_column_members();

}  // namespace smdgw
