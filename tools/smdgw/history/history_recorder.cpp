#include "tools/smdgw/history/history_recorder.h"

#include <utility>

#include "record/veltra_record.h"
#include "tools/smdgw/core/log.h"

namespace smdgw {

HistoryRecorder::HistoryRecorder(HistoryWriter& writer, const HostClock& clock,
                                 std::map<std::string, uint32_t> data_ids,
                                 const BatteryMonitor* battery)
    : writer_(writer), clock_(clock), data_ids_(std::move(data_ids)), battery_(battery) {}

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
    // The estimate was moved by this round's DC panels before it was stored.
    if (battery_)
        if (const auto b = battery_->battery(device)) r.battery = battery_sample(b->reading);
    writer_.add(std::move(r));
}

void HistoryRecorder::on_active_alarms(const std::string& device, const smd::ActiveAlarms& a) {
    if (!a.alarms) return;
    // Loaded alarms came from the database: nothing to write back, and
    // their acknowledgements are no news.
    if (!a.loaded) {
        writer_.save_alarms({device, *a.alarms});
        log_acknowledgements(device, *a.alarms);
    }
    std::map<AlarmIdentity, AlarmAck>& acks = acks_[device];
    acks.clear();
    for (const ActiveAlarm& al : *a.alarms)
        if (al.ack.set()) acks.emplace(al.id, al.ack);
}

// An acknowledgement shows only in the set of raised alarms: one given or
// taken back is logged when the set differs from the last one there. An
// alarm that cleared left the set, so its end is no "unacknowledged".
void HistoryRecorder::log_acknowledgements(const std::string& device,
                                           const std::vector<ActiveAlarm>& alarms) {
    const std::map<AlarmIdentity, AlarmAck>& before = acks_[device];
    for (const ActiveAlarm& al : alarms) {
        const auto it = before.find(al.id);
        const bool had = it != before.end();
        if (al.ack.set() && had && it->second.at == al.ack.at && it->second.by == al.ack.by)
            continue;
        if (!al.ack.set() && !had) continue;
        AlarmLogEntry e;
        e.device = device;
        e.alarm_id = al.id.alarm_id;
        e.key = al.id.key;
        e.seq = al.id.seq;
        e.level = al.level;
        e.message = al.message;
        if (al.ack.set()) {
            e.change = AlarmLogChange::Acknowledged;
            e.time = static_cast<int64_t>(al.ack.at);
            e.reason = al.ack.by + (al.ack.comment.empty() ? "" : ": " + al.ack.comment);
        } else {
            e.change = AlarmLogChange::Unacknowledged;
            e.time = static_cast<int64_t>(clock_.unix_time());
            e.reason = it->second.by;
        }
        writer_.log_alarm(std::move(e));
    }
}

void HistoryRecorder::on_alarm(const std::string& device, const smd::AlarmChange& a) {
    AlarmLogEntry e;
    e.time = static_cast<int64_t>(clock_.unix_time());
    e.device = device;
    e.change = a.raised ? AlarmLogChange::Raised : AlarmLogChange::Cleared;
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
