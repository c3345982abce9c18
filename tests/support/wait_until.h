#pragma once
// A bounded poll of state: what a test waits on instead of a sleep, which a
// slow (sanitizer) build on a loaded machine can outrun.

#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

// True as soon as `ok` holds; false if it still does not after `seconds`.
inline bool wait_until(const std::function<bool()>& ok, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (ok()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ok();
}

}  // namespace testsupport
