#include "tools/smdgw/core/service_watchdog.h"

#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdlib>

namespace smdgw {

ServiceWatchdog::ServiceWatchdog() {
    uint64_t usec = 0;
    // 0 unset WATCHDOG_USEC from the environment: children never see it.
    if (sd_watchdog_enabled(1, &usec) > 0 && usec > 0) {
        interval_ = std::chrono::microseconds(usec);
        thread_ = std::thread([this] { feed(); });
    }
}

ServiceWatchdog::~ServiceWatchdog() {
    sd_notify(0, "STOPPING=1");
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
}

void ServiceWatchdog::ready() { sd_notify(0, "READY=1"); }

void ServiceWatchdog::feed() {
    std::unique_lock<std::mutex> lock(mutex_);
    uint64_t seen = beats_.load();
    while (!stopping_) {
        cv_.wait_for(lock, interval_ / 2);
        if (stopping_) break;
        const uint64_t now = beats_.load();
        // No progress since the last look: let the watchdog run out.
        if (now != seen) sd_notify(0, "WATCHDOG=1");
        seen = now;
    }
}

void stall_while_test_file_exists() {
    static const char* const file = std::getenv("SMDGW_TEST_STALL_FILE");
    if (!file) return;
    while (::access(file, F_OK) == 0) ::usleep(50000);
}

}  // namespace smdgw
