#include "tools/smdgw/core/bounded_join.h"

namespace smdgw {

bool join_until(std::thread& thread, std::unique_lock<std::mutex>& lock,
                std::condition_variable& cv, const bool& finished,
                std::chrono::steady_clock::time_point until, const std::function<void()>& nudge,
                std::chrono::steady_clock::duration nudge_wait) {
    bool done = cv.wait_until(lock, until, [&] { return finished; });
    if (!done && nudge) {
        lock.unlock();
        nudge();
        lock.lock();
        done = cv.wait_for(lock, nudge_wait, [&] { return finished; });
    }
    lock.unlock();
    if (done)
        thread.join();
    else
        thread.detach();
    return done;
}

}  // namespace smdgw
