#include "tools/smdgw/core/replay_pacer.h"

#include <algorithm>
#include <thread>

namespace smdgw {

namespace {

constexpr size_t kUnpacedChunk = 4096;
constexpr double kPacedSliceSeconds = 0.02;

}  // namespace

size_t ReplayPacer::chunk_bytes() const {
    if (!paced()) return kUnpacedChunk;
    const double n = kPacedSliceSeconds * speed_ * kLineBaud / kBitsPerByte;
    return static_cast<size_t>(std::clamp(n, 1.0, static_cast<double>(kUnpacedChunk)));
}

void ReplayPacer::fed(size_t n) {
    bytes_ += n;
    if (!paced()) return;
    wait_(std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(line_seconds() / speed_)));
}

ReplayPacer::Waiter steady_waiter() {
    const auto start = std::chrono::steady_clock::now();
    return [start](std::chrono::nanoseconds since_start) {
        std::this_thread::sleep_until(start + since_start);
    };
}

}  // namespace smdgw
