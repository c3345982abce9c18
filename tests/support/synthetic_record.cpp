#include "tests/support/synthetic_record.h"

#include "record/veltra_record.h"

namespace testsupport {

namespace {

constexpr size_t kSeqOffset = 0;  // record data_id: not used by the history
constexpr size_t kDcV = 2225;
constexpr size_t kRcCount = 100;
constexpr size_t kRc0OutI = 101;
constexpr size_t kRc1OutI = 101 + 53;
constexpr size_t kDcM = 2221 + 12;
constexpr size_t kDcI0 = 2221 + 13;
constexpr size_t kDc2M = 2466 + 12;

}  // namespace

std::vector<unsigned char> synthetic_record(uint32_t seq, float dc_v) {
    std::vector<unsigned char> r(kRecordSize);
    for (size_t k = 0; k < r.size(); ++k) r[k] = static_cast<unsigned char>(k * 31 + seq * 7);
    store_le_u32(&r[kSeqOffset], seq);
    store_le_f32(&r[kDcV], dc_v);
    r[kRcCount] = 2;
    store_le_f32(&r[kRc0OutI], 1.5f);
    store_le_f32(&r[kRc1OutI], 2.5f);
    r[kDcM] = 1;
    store_le_f32(&r[kDcI0], 7.25f);
    r[kDc2M] = 0;
    return r;
}

uint32_t synthetic_seq(const std::vector<unsigned char>& bytes) {
    return bytes.size() >= 4 ? load_le_u32(&bytes[kSeqOffset]) : UINT32_MAX;
}

smdgw::StoredRecord stored_record(const std::string& device, int64_t time, uint32_t seq, float dc_v,
                                  uint32_t data_id) {
    smdgw::StoredRecord r;
    r.device = device;
    r.data_id = data_id;
    r.time = time;
    r.bytes = synthetic_record(seq, dc_v);
    return r;
}

}  // namespace testsupport
