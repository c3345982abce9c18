#include "tools/smdgw/history/history_recorder.h"

#include <utility>

#include "record/veltra_record.h"
#include "tools/smdgw/core/log.h"

namespace smdgw {

HistoryRecorder::HistoryRecorder(HistoryWriter& writer, const HostClock& clock,
                                 std::map<std::string, uint32_t> data_ids)
    : writer_(writer), clock_(clock), data_ids_(std::move(data_ids)) {}

void HistoryRecorder::on_history(const std::string& device, const smd::RecordStored& stored) {
    const unsigned char* data = stored.data;
    const unsigned length = stored.length;
    if (!restoring_.empty() && device == restoring_) return;
    if (stored.quality.restored) return;
    if (data == nullptr || length != kRecordSize) {
        log_error("history: device \"" + device + "\" stored " + std::to_string(length) +
                  " bytes, not a record; not kept");
        return;
    }
    StoredRecord r;
    r.device = device;
    const auto it = data_ids_.find(device);
    r.data_id = it == data_ids_.end() ? 0 : it->second;
    r.time = static_cast<int64_t>(clock_.unix_time());
    r.bytes.assign(data, data + length);
    r.complete = stored.quality.complete();
    for (smd::Section sec : smd::kSections)
        r.fresh[static_cast<size_t>(sec)] = (stored.quality.fresh() & smd::section_bit(sec)) != 0;
    writer_.add(std::move(r));
}

void HistoryRecorder::on_active_alarms(const std::string& device, const smd::ActiveAlarms& a) {
    // Loaded alarms came from the database: nothing to write back.
    if (a.alarms && !a.loaded) writer_.save_alarms({device, *a.alarms});
}

void HistoryRecorder::on_alarm(const std::string& device, const smd::AlarmChange& a) {
    AlarmLogEntry e;
    e.time = static_cast<int64_t>(clock_.unix_time());
    e.device = device;
    e.raised = a.raised;
    e.alarm_id = std::string(a.alarm_id);
    e.key = std::string(a.key);
    e.seq = a.seq;
    e.level = a.level;
    e.value = std::string(a.value);
    e.message = std::string(a.message);
    e.reason = std::string(a.reason);
    writer_.log_alarm(std::move(e));
}

}  // namespace smdgw
