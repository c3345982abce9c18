#pragma once
// smdgw under systemd (Type=notify, WatchdogSec=): READY=1 once the gateway
// runs, and WATCHDOG=1 every half watchdog interval, but only while the input
// loop shows progress. A loop stuck in a driver call or a blocked write stops
// the feeding, and systemd restarts the service. Outside systemd (no
// NOTIFY_SOCKET) nothing is sent.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace smdgw {

class ServiceWatchdog {
   public:
    ServiceWatchdog();
    // STOPPING=1, and the feeding thread ends.
    ~ServiceWatchdog();
    ServiceWatchdog(const ServiceWatchdog&) = delete;
    ServiceWatchdog& operator=(const ServiceWatchdog&) = delete;

    // The devices are created and the input runs.
    void ready();
    // Called by the input loop each time round (any thread).
    void progress() { beats_.fetch_add(1, std::memory_order_relaxed); }

   private:
    void feed();

    std::chrono::microseconds interval_{0};  // 0: no watchdog asked for
    std::atomic<uint64_t> beats_{0};
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stopping_ = false;
    std::thread thread_;
};

// A test hook: while the file named by SMDGW_TEST_STALL_FILE exists, the
// caller waits here (the input loop calls it to stand for a stuck line).
void stall_while_test_file_exists();

}  // namespace smdgw
