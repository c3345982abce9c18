#pragma once
// The analog fields of the device record as spreadsheet columns, taken from
// the record's field table (record/record_fields.h): its float fields with a
// unit give the column names and the cells of every exported row.

#include <cstddef>
#include <string>
#include <vector>

namespace smdgw {

struct StoredRecord;

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

// Every column of the history's queries and roll-ups: the analog ones, then
// the battery's (history_battery.h). The CSV export has the analog ones.
std::vector<std::string> history_column_names();
size_t analog_column_count();

// One value per history column of a stored round, into out: its record's
// analog_values(), then its battery's (NaN without one).
void history_values(const StoredRecord& r, std::vector<float>& out);

}  // namespace smdgw
