#include "tools/smdgw/core/device_state.h"

namespace smdgw {

bool DeviceState::alarm_active(const std::string& alarm_id) const {
    for (const auto& kv : alarms)
        if (kv.second.active && kv.first.alarm_id == alarm_id) return true;
    return false;
}

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
}

void DeviceStates::on_history(const std::string& device, const smd::RecordStored&) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (DeviceState* d = find(device)) ++d->counters.records_stored;
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
