#pragma once
// An optional watcher of every frame a device's decoder meets, for a line
// trace. Devices without one pay a pointer test per frame.

#include <cstddef>
#include <cstdint>

#include "host/frame_codec.h"

class FrameObserver {
   public:
    virtual ~FrameObserver() = default;
    // A frame that passed the codec, decoded as drivers see it (LENID
    // little-endian in bytes 4 and 5); delivered is false when the address
    // filter kept it from the driver.
    virtual void on_frame(const uint8_t* frame, size_t length, bool delivered) = 0;
    // A frame the codec rejected.
    virtual void on_frame_error(smd::FrameWeird why) = 0;
};
