#pragma once
// The subagent's place in the gateway's fan-out. On the frame thread it only
// queues what becomes a notification (an alarm raised or cleared, a device
// state change) and notes that the snapshot changed, then wakes the agent
// thread through a pipe; the agent thread numbers and sends. The queue is
// bounded: what overflows is counted, and its numbers are skipped so that
// the manager sees the gap.

#include <atomic>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "host/data_state.h"
#include "host/host_sink.h"
#include "tools/smdgw/core/device_state.h"

namespace smdgw::snmp {

struct PendingNotification {
    enum class Kind : uint8_t { Raised, Cleared, StateChanged } kind = Kind::Raised;
    std::string device;
    AlarmKey key;        // Raised, Cleared
    AlarmState alarm;    // Raised, Cleared: level, value and message of the change
    std::string reason;  // Raised, Cleared: "flapping", "stable", "not reported" or empty
    DataState state = DataState::Never;  // StateChanged
    std::time_t time = 0;  // when it came, on the gateway's clock
};

class SnmpEvents : public HostSink {
   public:
    static constexpr size_t kCapacity = 4096;

    // now: the gateway's clock (Unix seconds).
    explicit SnmpEvents(std::function<std::time_t()> now, size_t capacity = kCapacity);
    ~SnmpEvents() override;
    SnmpEvents(const SnmpEvents&) = delete;
    SnmpEvents& operator=(const SnmpEvents&) = delete;

    // The frame thread.
    void on_publish(const std::string& device, const smd::RecordPublished& r) override;
    void on_alarm(const std::string& device, const smd::AlarmChange& a) override;
    void on_state(const std::string& device, const smd::StateChanged& s) override;
    void on_active_alarms(const std::string& device, const smd::ActiveAlarms& a) override;

    // The agent thread: readable when there is something to take.
    int wake_fd() const { return pipe_[0]; }
    // What waits, in arrival order, and how many were dropped since the last take.
    std::vector<PendingNotification> take(uint64_t& dropped);
    // Whether the snapshot changed since the last call.
    bool take_changed() { return changed_.exchange(false); }
    // Any thread: makes wake_fd readable (to stop the agent thread).
    void wake();

   private:
    void push(PendingNotification n);

    std::function<std::time_t()> now_;
    size_t capacity_;
    int pipe_[2] = {-1, -1};
    std::mutex mutex_;
    std::deque<PendingNotification> queue_;
    uint64_t dropped_ = 0;
    std::atomic<bool> changed_{true};
    // Something was queued or dropped since the last take: spares the agent
    // thread a read and a lock per request when nothing came.
    std::atomic<bool> pending_{false};
    // wake() wrote to the pipe since take() last emptied it.
    std::atomic<bool> woken_{false};
};

}  // namespace smdgw::snmp
