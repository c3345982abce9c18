#include "tools/smdgw/core/device_state.h"

#include <cstring>

#include "record/veltra_record.h"

namespace smdgw {

bool DeviceState::alarm_active(const std::string& alarm_id) const {
    for (const auto& kv : alarms)
        if (kv.second.active && kv.first.alarm_id == alarm_id) return true;
    return false;
}

smd::SectionMask DeviceState::available_sections() const {
    smd::SectionMask m = smd::kNoSection;
    for (smd::Section s : smd::kSections)
        if (section(s).available()) m |= smd::section_bit(s);
    return m;
}

std::optional<smd::Section> section_of_value(const veltra::RecordValue& v) {
    return smd::section_of_field(v.section ? v.section->path : v.field->path);
}

namespace {

// Copies the record members of a section (the section table names them, the
// record's field table places them) from a published record into the shown one.
void take_section(std::vector<unsigned char>& shown, const unsigned char* from, smd::Section s) {
    for (const char* path : smd::plant_section(s).fields) {
        if (!path) break;
        const veltra::RecordField* f = veltra::find_path(path);
        if (!f) continue;
        const size_t bytes = f->size * veltra::element_bytes(*f);
        if (f->offset + bytes > shown.size()) continue;
        std::memcpy(shown.data() + f->offset, from + f->offset, bytes);
    }
}

// The round's record becomes the shown one section by section: what the
// round refreshed, and the members of no section (data ID, round time).
void show_round(DeviceState& d, const smd::RecordPublished& r) {
    if (d.shown_record.empty()) d.shown_record.assign(kRecordSize, 0);
    const std::vector<unsigned char> previous = d.shown_record;
    std::memcpy(d.shown_record.data(), r.data, kRecordSize);
    for (smd::Section s : smd::kSections) {
        if (r.quality.sections[static_cast<size_t>(s)] == smd::Freshness::Fresh) continue;
        // Not refreshed: the last refreshed values, or zeros before any.
        take_section(d.shown_record, previous.data(), s);
    }
}

// The host's view of the rounds, copied on the frame thread at each event
// that changes it.
void copy_health(DeviceState& d, const DeviceHealth& h) {
    d.data_state = h.state.state();
    d.data_state_since = h.state.since();
    d.has_round = h.has_round;
    d.last_round = h.last;
    d.has_live_round = h.has_live_round;
    d.last_live_round = h.last_live;
    d.last_live_time = h.state.last_live();
    d.last_complete_time = h.state.last_complete();
    d.counters.rounds_live = h.rounds_live;
    d.counters.rounds_damaged = h.rounds_damaged;
    d.counters.rounds_restored = h.rounds_restored;
    d.counters.alarm_changes_held = h.alarms.changes_held();
    d.counters.alarm_changes_dropped = h.alarms.changes_dropped();
    d.counters.reports_suppressed = h.reports_suppressed;
    d.counters.reports_released = h.reports_released;
    for (smd::Section s : smd::kSections) {
        const size_t k = static_cast<size_t>(s);
        d.sections[k].state = h.sections[k];
        d.sections[k].refreshed_at = h.refreshed_at[k];
        d.sections[k].rounds_not_refreshed = h.rounds_not_refreshed[k];
    }
}

}  // namespace

void DeviceStates::add_device(const std::string& name, uint32_t data_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    DeviceState d;
    d.name = name;
    d.data_id = data_id;
    devices_.push_back(std::move(d));
}

DeviceState* DeviceStates::find(const std::string& name) {
    for (DeviceState& d : devices_)
        if (d.name == name) return &d;
    return nullptr;
}

const DeviceState* DeviceStates::find(const std::string& name) const {
    for (const DeviceState& d : devices_)
        if (d.name == name) return &d;
    return nullptr;
}

void DeviceStates::on_frame(const std::string& device, const smd::FrameVerdict& v) {
    if (!v.counters) return;
    std::lock_guard<std::mutex> lock(mutex_);
    DeviceState* d = find(device);
    if (!d) return;
    d->counters.frames = *v.counters;
    d->counters.frames_other_address = v.frames_other_address;
}

void DeviceStates::on_publish(const std::string& device, const smd::RecordPublished& r) {
    std::lock_guard<std::mutex> lock(mutex_);
    DeviceState* d = find(device);
    if (!d) return;
    d->record.assign(r.data, r.data + r.length);
    d->record_time = r.local_time;
    d->record_unix_time = r.unix_time;
    ++d->counters.rounds_published;
    if (r.health) copy_health(*d, *r.health);
    if (!r.quality.restored && r.length == kRecordSize) {
        show_round(*d, r);
        // The round's own judgement decides its sections; the device's
        // health, when it comes with the event, has counted them already.
        for (smd::Section s : smd::kSections) {
            SectionView& v = d->sections[static_cast<size_t>(s)];
            v.state = r.quality.sections[static_cast<size_t>(s)];
            if (v.state == smd::Freshness::Fresh)
                v.refreshed_at = r.unix_time;
            else if (!r.health)
                ++v.rounds_not_refreshed;
        }
    }
}

void DeviceStates::on_state(const std::string& device, const smd::StateChanged& s) {
    std::lock_guard<std::mutex> lock(mutex_);
    DeviceState* d = find(device);
    if (!d) return;
    d->data_state = s.state;
    d->data_state_since = s.since;
    if (s.health) copy_health(*d, *s.health);
}

void DeviceStates::on_active_alarms(const std::string& device, const smd::ActiveAlarms& a) {
    if (!a.alarms) return;
    std::lock_guard<std::mutex> lock(mutex_);
    DeviceState* d = find(device);
    if (!d) return;
    // The host's whole set: what it holds as raised, and nothing else.
    for (auto& kv : d->alarms) {
        kv.second.active = false;
        kv.second.flapping = false;
        kv.second.ack = AlarmAck();
    }
    for (const ActiveAlarm& al : *a.alarms) {
        AlarmState& s = d->alarms[AlarmKey{al.id.key, al.id.alarm_id, al.id.seq}];
        s.active = true;
        s.level = al.level;
        s.message = al.message;
        s.since = al.since;
        s.flapping = al.flapping;
        s.ack = al.ack;
    }
    if (a.pending) d->pending_alarms = *a.pending;
}

void DeviceStates::on_history(const std::string& device, const smd::RecordStored& r) {
    std::lock_guard<std::mutex> lock(mutex_);
    DeviceState* d = find(device);
    if (!d) return;
    ++d->counters.records_stored;
    if (r.health) copy_health(*d, *r.health);
}

void DeviceStates::on_alarm(const std::string& device, const smd::AlarmChange& a) {
    std::lock_guard<std::mutex> lock(mutex_);
    DeviceState* d = find(device);
    if (!d) return;
    AlarmState& s = d->alarms[AlarmKey{std::string(a.key), std::string(a.alarm_id), a.seq}];
    s.active = a.raised;
    s.level = a.level;
    s.value.assign(a.value);
    s.message.assign(a.message);
    if (a.health) copy_health(*d, *a.health);
}

void DeviceStates::on_report(const std::string& device, const smd::AnalogReport&) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (DeviceState* d = find(device)) ++d->counters.reports;
}

void DeviceStates::on_command(const std::string& device, const smd::CommandSent& c) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (DeviceState* d = find(device))
        ++(c.sent ? d->counters.commands_sent : d->counters.commands_failed);
}

void DeviceStates::set_frame_counters(size_t index, const smd::FrameCounters& frames,
                                      uint64_t other_address) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= devices_.size()) return;
    devices_[index].counters.frames = frames;
    devices_[index].counters.frames_other_address = other_address;
}

std::vector<DeviceState> DeviceStates::all() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return devices_;
}

bool DeviceStates::get(const std::string& name, DeviceState& out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const DeviceState* d = find(name);
    if (!d) return false;
    out = *d;
    return true;
}

bool DeviceStates::read(const std::string& name,
                        const std::function<void(const DeviceState&)>& f) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const DeviceState* d = find(name);
    if (!d) return false;
    f(*d);
    return true;
}

}  // namespace smdgw
