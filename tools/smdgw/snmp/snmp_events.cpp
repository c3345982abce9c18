#include "tools/smdgw/snmp/snmp_events.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace smdgw::snmp {

SnmpEvents::SnmpEvents(std::function<std::time_t()> now, size_t capacity)
    : now_(std::move(now)), capacity_(capacity) {
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("snmp: cannot make a pipe: ") + std::strerror(errno));
}

SnmpEvents::~SnmpEvents() {
    ::close(pipe_[0]);
    ::close(pipe_[1]);
}

void SnmpEvents::wake() {
    const char byte = 1;
    // A full pipe already wakes the reader.
    while (::write(pipe_[1], &byte, 1) < 0 && errno == EINTR) {
    }
    // After the byte: take() empties the pipe once it sees this.
    woken_ = true;
}

void SnmpEvents::push(PendingNotification n) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.size() >= capacity_)
            ++dropped_;
        else
            queue_.push_back(std::move(n));
    }
    changed_ = true;
    // One wake-up per batch: take() clears the flag before it looks at the queue.
    if (!pending_.exchange(true)) wake();
}

void SnmpEvents::on_publish(const std::string&, const smd::RecordPublished&) { changed_ = true; }

void SnmpEvents::on_active_alarms(const std::string&, const smd::ActiveAlarms&) {
    changed_ = true;
}

void SnmpEvents::on_alarm(const std::string& device, const smd::AlarmChange& a) {
    PendingNotification n;
    n.kind = a.raised ? PendingNotification::Kind::Raised : PendingNotification::Kind::Cleared;
    n.device = device;
    n.key = AlarmKey{std::string(a.key), std::string(a.alarm_id), a.seq};
    n.alarm.active = a.raised;
    n.alarm.level = a.level;
    n.alarm.value.assign(a.value);
    n.alarm.message.assign(a.message);
    n.reason.assign(a.reason);
    n.time = now_();
    push(std::move(n));
}

void SnmpEvents::on_state(const std::string& device, const smd::StateChanged& s) {
    PendingNotification n;
    n.kind = PendingNotification::Kind::StateChanged;
    n.device = device;
    n.state = s.state;
    n.time = now_();
    push(std::move(n));
}

std::vector<PendingNotification> SnmpEvents::take(uint64_t& dropped) {
    dropped = 0;
    // A wake-up with nothing queued (a stop, a stored notification to hand
    // to snmpd) is read from the pipe too, or the agent thread would find
    // it readable at every turn.
    if (woken_.exchange(false)) {
        char buf[256];
        while (::read(pipe_[0], buf, sizeof buf) > 0) {
        }
    }
    if (!pending_.load()) return {};
    pending_ = false;
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<PendingNotification> out(std::make_move_iterator(queue_.begin()),
                                         std::make_move_iterator(queue_.end()));
    queue_.clear();
    dropped = dropped_;
    dropped_ = 0;
    return out;
}

}  // namespace smdgw::snmp
