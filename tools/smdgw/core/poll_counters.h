#pragma once
// What the gateway counts as master of a device's line, shown as the "poll"
// object of the device's stats line. Written and read on the thread that runs
// the ports (the last stats line is written after that thread's loop ended).

#include <cstdint>

namespace smdgw {

struct PollCounters {
    uint64_t commands = 0;          // command frames written to the line
    uint64_t responses = 0;         // responses handed to the driver
    uint64_t rounds_completed = 0;  // rounds the driver closed
    uint64_t timeouts = 0;          // responses that did not come in time
    uint64_t rounds_abandoned = 0;  // rounds ended by a timeout
    uint64_t echoes = 0;            // copies of our own command (RS-485 adapters)
    uint64_t other_address = 0;     // frames of another address
    uint64_t unexpected = 0;        // frames of this address that answer nothing sent
    uint64_t frame_errors = 0;      // frames the codec rejected while this device was polled
    uint64_t late_frames = 0;       // frames after an abandoned exchange, before the next command
    uint64_t late_responses = 0;    // of those, answers to the command that timed out
    uint64_t latest_response_ms = 0;  // the longest wait for a late answer's first byte
    uint64_t controls = 0;          // control requests run between rounds
};

}  // namespace smdgw
