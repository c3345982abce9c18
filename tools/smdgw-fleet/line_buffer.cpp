#include "tools/smdgw-fleet/line_buffer.h"

#include <algorithm>
#include <chrono>

namespace smdgw {

namespace {

uint64_t lines_in(const std::string& s) {
    return static_cast<uint64_t>(std::count(s.begin(), s.end(), '\n'));
}

}  // namespace

uint64_t LineBuffer::make_room(size_t incoming) {
    uint64_t dropped = 0;
    while (!pieces_.empty() && bytes_ + incoming > max_bytes_) {
        bytes_ -= pieces_.front().size();
        dropped += lines_in(pieces_.front());
        pieces_.pop_front();
    }
    dropped_lines_ += dropped;
    return dropped;
}

uint64_t LineBuffer::add(std::string lines) {
    if (lines.empty()) return 0;
    uint64_t dropped = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (lines.size() > max_bytes_) {
            dropped_lines_ += lines_in(lines);
            return lines_in(lines);
        }
        dropped = make_room(lines.size());
        bytes_ += lines.size();
        pieces_.push_back(std::move(lines));
    }
    ready_.notify_one();
    return dropped;
}

void LineBuffer::put_back(std::string lines) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lines.size() > max_bytes_) {
        dropped_lines_ += lines_in(lines);
        return;
    }
    // Room is made at the old end, where this batch goes back: what stays
    // is newer.
    make_room(lines.size());
    bytes_ += lines.size();
    pieces_.push_front(std::move(lines));
}

std::string LineBuffer::take(size_t max_bytes, int wait_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait_for(lock, std::chrono::milliseconds(wait_ms),
                    [&] { return stopped_ || !pieces_.empty(); });
    std::string out;
    while (!pieces_.empty() && (out.empty() || out.size() + pieces_.front().size() <= max_bytes)) {
        bytes_ -= pieces_.front().size();
        out += pieces_.front();
        pieces_.pop_front();
    }
    return out;
}

void LineBuffer::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    ready_.notify_all();
}

uint64_t LineBuffer::bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
}

uint64_t LineBuffer::dropped_lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_lines_;
}

}  // namespace smdgw
