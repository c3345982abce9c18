#pragma once
// The lines waiting for the database, bounded in bytes. While the database is
// down the buffer fills; at its bound the oldest lines go first, counted, so
// that the newest state of the fleet is what reaches the database when it is
// back.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

namespace smdgw {

class LineBuffer {
   public:
    explicit LineBuffer(uint64_t max_bytes) : max_bytes_(max_bytes) {}

    // Adds whole lines ("...\n" each). Returns the lines dropped to make room.
    uint64_t add(std::string lines);
    // Takes at most `max_bytes` of the oldest lines (at least one piece), waiting
    // up to `wait_ms` for any; "" when none came or stop() was called.
    std::string take(size_t max_bytes, int wait_ms);
    // A batch that could not be written goes back in front (bounded likewise).
    void put_back(std::string lines);
    void stop();

    uint64_t bytes() const;
    uint64_t dropped_lines() const;

   private:
    uint64_t make_room(size_t incoming);  // under the lock

    const uint64_t max_bytes_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::string> pieces_;
    uint64_t bytes_ = 0;
    uint64_t dropped_lines_ = 0;
    bool stopped_ = false;
};

}  // namespace smdgw
