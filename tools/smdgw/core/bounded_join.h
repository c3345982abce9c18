#pragma once
// Ends a service thread within a bound: a stop must not hang on a disk or a
// network that does not answer. The thread sets its `finished` flag under the
// lock and signals the condition when it is done.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace smdgw {

// Waits (holding `lock`) until `finished` or `until`; when the thread is not
// done by then, calls `nudge` (if given: cut its waits short) and waits
// `nudge_wait` more. Joins a finished thread; detaches one that is not and
// returns false: whatever it uses must then outlive it.
bool join_until(std::thread& thread, std::unique_lock<std::mutex>& lock,
                std::condition_variable& cv, const bool& finished,
                std::chrono::steady_clock::time_point until,
                const std::function<void()>& nudge = {},
                std::chrono::steady_clock::duration nudge_wait = std::chrono::milliseconds(300));

}  // namespace smdgw
