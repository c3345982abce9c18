#pragma once
// Whole device records made up for history tests: every byte depends on a
// sequence number, so a record read back proves where it came from.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/smdgw/history/history_store.h"

namespace testsupport {

// 2704 bytes: a byte pattern from seq, with dc.v set to dc_v, the rectifier
// count to 2 (out_i 1.5 and 2.5), panel 1's dc_i count to 1 (dc_i[0] 7.25) and
// panel 2's to 0.
std::vector<unsigned char> synthetic_record(uint32_t seq, float dc_v);

// The sequence number a synthetic record was made from.
uint32_t synthetic_seq(const std::vector<unsigned char>& bytes);

smdgw::StoredRecord stored_record(const std::string& device, int64_t time, uint32_t seq,
                                  float dc_v = 53.5f, uint32_t data_id = 418);

}  // namespace testsupport
