#include "tools/smdgw/notify/notify_events.h"

#include "host/alarm_english.h"
#include "tools/smdgw/core/alarm_ref.h"
#include "tools/smdgw/core/iso8601_time.h"
#include "tools/smdgw/output/event_render.h"
#include "tools/smdgw/output/json_text.h"

namespace smdgw::notify {

NotifyEvents::NotifyEvents(std::function<int64_t()> now_ms, size_t capacity)
    : now_ms_(std::move(now_ms)), capacity_(capacity) {}

void NotifyEvents::on_alarm(const std::string& device, const smd::AlarmChange& a) {
    NotifyEvent e;
    e.device = device;
    e.raised = a.raised;
    e.level = a.level;
    e.key = std::string(a.key);
    e.alarm_id = std::string(a.alarm_id);
    e.value = std::string(a.value);
    e.message = std::string(a.message);
    e.reason = std::string(a.reason);
    e.seq = a.seq;
    e.english = smd::alarm_english(e.alarm_id, e.key, e.message);
    e.id = alarm_ref(device, e.key, e.alarm_id, a.seq);
    e.time_ms = now_ms_();
    // A raise shown after its delay began when the fault did.
    e.since_ms = static_cast<int64_t>(a.since) * 1000;
    if (!a.raised) {
        const auto it = raised_.find(e.id);
        if (it != raised_.end()) {
            e.raised_at_ms = it->second.since_ms;
            e.ack_by = it->second.ack_by;
            e.ack_comment = it->second.ack_comment;
            e.ack_at_ms = it->second.ack_at_ms;
        }
    }
    JsonObject obj;
    alarm_members(obj, a);
    json_string(obj.add("device"), device);
    json_string(obj.add("id"), e.id);
    if (a.raised && e.since_ms > 0) json_string(obj.add("since"), iso8601_time(e.since_ms));
    json_string(obj.add("time"), iso8601_time(e.time_ms));
    obj.close(e.json);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.size() >= capacity_) {
            ++overflowed_;
            return;
        }
        queue_.push_back(std::move(e));
    }
    cv_.notify_one();
}

void NotifyEvents::on_active_alarms(const std::string& device, const smd::ActiveAlarms& a) {
    if (!a.alarms) return;
    // The device's whole set replaces what was kept of it.
    const std::string head = alarm_ref(device, "", "", 0);
    const std::string prefix = head.substr(0, head.find('.') + 1);
    for (auto it = raised_.lower_bound(prefix);
         it != raised_.end() && it->first.compare(0, prefix.size(), prefix) == 0;)
        it = raised_.erase(it);
    for (const ActiveAlarm& x : *a.alarms) {
        Raised& r = raised_[alarm_ref(device, x.id.key, x.id.alarm_id, x.id.seq)];
        r.since_ms = static_cast<int64_t>(x.since) * 1000;
        r.ack_by = x.ack.by;
        r.ack_comment = x.ack.comment;
        r.ack_at_ms = static_cast<int64_t>(x.ack.at) * 1000;
    }
}

std::vector<NotifyEvent> NotifyEvents::take(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, wait, [this] { return !queue_.empty() || woken_; });
    woken_ = false;
    std::vector<NotifyEvent> out(std::make_move_iterator(queue_.begin()),
                                 std::make_move_iterator(queue_.end()));
    queue_.clear();
    return out;
}

uint64_t NotifyEvents::overflowed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return overflowed_;
}

void NotifyEvents::wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
    }
    cv_.notify_one();
}

}  // namespace smdgw::notify
