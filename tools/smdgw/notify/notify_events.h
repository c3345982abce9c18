#pragma once
// The notifications' place in the gateway's fan-out. On the frame thread it
// only copies each alarm change the policy let through (raised, cleared,
// "flapping", "stable"; a pending raise never comes here) into a bounded
// queue; the service's grouping thread takes them. What overflows is counted.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
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

    // The grouping thread: what came, in order; waits up to `wait` for something.
    std::vector<NotifyEvent> take(std::chrono::milliseconds wait);
    uint64_t overflowed() const;
    // Wakes a take() that waits (a stop).
    void wake();

   private:
    std::function<int64_t()> now_ms_;
    size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<NotifyEvent> queue_;
    uint64_t overflowed_ = 0;
    bool woken_ = false;
};

}  // namespace smdgw::notify
