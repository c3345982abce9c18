#pragma once
// Text dump of the device data record: one line per section and per time stamp, each line
// starting with the caller's prefix, ended by a line feed and flushed. Nothing is
// formatted while the stream is not good.

#include <iostream>
#include <string>

#include "host/ttime.h"
#include "record/veltra_record.h"

// Writes the whole record as 50 lines.
void dump_record(const veltra_quelm_k418t_419_Data_t& rec, const std::string& prefix,
                 std::ostream& os = std::cout);

// Writes the single line of one rectifier module: prefix ".out_i=" ...
void dump_rc_channel(const veltra_rc_channel_t& ch, const std::string& prefix,
                     std::ostream& os = std::cout);

// Writes one time stamp line: prefix ".year=" ... " second=" ...
void dump_ttime(const ttime& t, const std::string& prefix, std::ostream& os = std::cout);
