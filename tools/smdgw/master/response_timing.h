#pragma once
// How long the gateway as master waits for a response: up to the response
// timeout for its first byte, then as long as the frame's length needs at the
// line's speed plus a margin. The length is known once the header's LENID has
// arrived; until then a header's worth is allowed.
//
//   ~ 21 01 41 00 C01C 00... CHKSUM CR     SOI, 12 header characters (LENID
//   in the last three), LENID INFO characters, 4 checksum characters, EOI

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace smdgw::master {

using Clock = std::chrono::steady_clock;

// Time n characters take on the line: ten bits each (start, eight data, stop).
Clock::duration line_time(size_t chars, int baud);

// Follows the raw bytes of the line to tell when a frame began and how many
// characters it will have. Bytes outside a frame are ignored.
class FrameProgress {
   public:
    // Takes the bytes of one read that arrived at `now`.
    void feed(const uint8_t* data, size_t n, Clock::time_point now);
    void reset() { in_frame_ = false; }

    bool in_frame() const { return in_frame_; }
    Clock::time_point started() const { return started_; }
    // Characters of the whole frame, SOI to EOI: known after the header,
    // else the header's own count.
    size_t expected_chars() const;

   private:
    bool in_frame_ = false;
    Clock::time_point started_{};
    size_t chars_ = 0;    // header characters seen after SOI (up to 12)
    uint16_t lenid_ = 0;  // from header characters 10 to 12
};

}  // namespace smdgw::master
