#pragma once
// What the gateway sets on a polling driver before its InitSetting: the
// encoding of the analog commands and the protocol version of its frames.
// The design's options have no key for either; the gateway reads its own
// "encoding" and "protocol_version" and hands them over through this.

#include <cstdint>

class PollingOptions {
   public:
    virtual ~PollingOptions() = default;
    // true: CID2 0x41 and the floating-point decoders; false: CID2 0x42 and
    // the fixed-point decoders.
    virtual void SetFloatingPoint(bool floating_point) = 0;
    // VER of every frame the driver sends (0x20 or 0x21).
    virtual void SetProtocolVersion(uint8_t version) = 0;
};
