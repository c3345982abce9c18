#pragma once
// The notifications' place in the gateway's fan-out. On the frame thread it
// only copies each alarm change the policy let through (raised, cleared,
// "flapping", "stable"; a pending raise never comes here) into a bounded
// queue; the service's grouping thread takes them. What overflows is counted.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/host_sink.h"
#include "tools/smdgw/notify/notify_event.h"

namespace smdgw::notify {

class NotifyEvents : public HostSink {
   public:
    static constexpr size_t kCapacity = 10000;

    // now_ms: the gateway's clock.
    explicit NotifyEvents(std::function<int64_t()> now_ms, size_t capacity = kCapacity);

    void on_alarm(const std::string& device, const smd::AlarmChange& a) override;
    // Keeps when each raised alarm began and its acknowledgement, which its
    // clear tells.
    void on_active_alarms(const std::string& device, const smd::ActiveAlarms& a) override;

    // The grouping thread: what came, in order; waits up to `wait` for something.
    std::vector<NotifyEvent> take(std::chrono::milliseconds wait);
    uint64_t overflowed() const;
    // Wakes a take() that waits (a stop).
    void wake();

   private:
    struct Raised {
        int64_t since_ms = 0;
        std::string ack_by, ack_comment;
        int64_t ack_at_ms = 0;
    };

    std::function<int64_t()> now_ms_;
    size_t capacity_;
    // By the alarm's exact id; the frame thread's alone.
    std::map<std::string, Raised> raised_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<NotifyEvent> queue_;
    uint64_t overflowed_ = 0;
    bool woken_ = false;
};

}  // namespace smdgw::notify
