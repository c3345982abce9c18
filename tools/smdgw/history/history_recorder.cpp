#include "tools/smdgw/history/history_recorder.h"

#include <iostream>
#include <utility>

#include "record/veltra_record.h"

namespace smdgw {

HistoryRecorder::HistoryRecorder(HistoryWriter& writer, const HostClock& clock,
                                 std::map<std::string, uint32_t> data_ids)
    : writer_(writer), clock_(clock), data_ids_(std::move(data_ids)) {}

void HistoryRecorder::on_history(const std::string& device, const unsigned char* data,
                                 unsigned length) {
    if (!restoring_.empty() && device == restoring_) return;
    const RoundQuality q = quality_[device];
    if (q.restored) return;
    if (data == nullptr || length != kRecordSize) {
        std::cerr << "smdgw: history: device \"" << device << "\" stored " << length
                  << " bytes, not a record; not kept" << std::endl;
        return;
    }
    StoredRecord r;
    r.device = device;
    const auto it = data_ids_.find(device);
    r.data_id = it == data_ids_.end() ? 0 : it->second;
    r.time = static_cast<int64_t>(clock_.unix_time());
    r.bytes.assign(data, data + length);
    r.complete = q.complete();
    writer_.add(std::move(r));
}

void HistoryRecorder::on_round(const std::string& device, const RoundQuality& quality) {
    quality_[device] = quality;
}

void HistoryRecorder::on_active_alarms(const std::string& device,
                                       const std::vector<ActiveAlarm>& alarms) {
    writer_.save_alarms({device, alarms});
}

}  // namespace smdgw
