#pragma once
// smdgw --replay-speed X: hands a capture on at X times the speed of the line
// (9600 baud, 10 bits a byte), so that timers and the line trace see the
// gaps a live line would have. X = 0 replays as fast as possible.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace smdgw {

constexpr double kLineBaud = 9600.0;
constexpr double kBitsPerByte = 10.0;

class ReplayPacer {
   public:
    // Waits until the given time has passed since the replay started.
    using Waiter = std::function<void(std::chrono::nanoseconds since_start)>;

    ReplayPacer(double speed, Waiter wait) : speed_(speed), wait_(std::move(wait)) {}

    bool paced() const { return speed_ > 0.0; }
    // How many bytes to hand on at a time: about 20 ms of paced line time, so
    // that frames arrive in a realistic trickle; large blocks when unpaced.
    size_t chunk_bytes() const;
    // After n more bytes were handed on: waits until their line time, divided
    // by the speed, has passed since the start.
    void fed(size_t n);

    uint64_t bytes() const { return bytes_; }
    // Line time of the bytes so far, in seconds.
    double line_seconds() const { return static_cast<double>(bytes_) * kBitsPerByte / kLineBaud; }

   private:
    double speed_;
    Waiter wait_;
    uint64_t bytes_ = 0;
};

// Sleeps on the steady clock, counting from the moment it is made.
ReplayPacer::Waiter steady_waiter();

}  // namespace smdgw
