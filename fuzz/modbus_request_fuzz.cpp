// The Modbus TCP request parser on arbitrary bytes, as the server feeds it:
// frame after frame from the front of a connection's buffer. A complete
// frame lies within the bytes given, is as long as its header says and at
// most an MBAP frame's length; a read it lets through names a quantity within
// the protocol's range, and an exception it answers is one of the server's.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/smdgw/modbus/modbus_request.h"

using namespace smdgw::modbus;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exactly-sized copy: a read past the bytes is the sanitizer's to see.
    const std::vector<uint8_t> bytes(data, data + size);
    size_t at = 0;
    while (at < bytes.size()) {
        Request r;
        const Framing f = parse_request(bytes.data() + at, bytes.size() - at, r);
        if (f != Framing::Complete) break;
        if (r.frame_bytes < 8 || r.frame_bytes > kMaxFrameBytes ||
            r.frame_bytes > bytes.size() - at)
            __builtin_trap();
        const bool read = r.access == Access::Bits || r.access == Access::Registers;
        if (!read && r.exception != kIllegalFunction) __builtin_trap();
        if (read && r.exception == 0) {
            const uint16_t most = r.access == Access::Bits ? kMaxReadBits : kMaxReadRegisters;
            if (r.quantity < 1 || r.quantity > most || r.address + r.quantity > 0x10000u ||
                r.frame_bytes != 12)
                __builtin_trap();
        }
        if (r.exception != 0 && r.exception != kIllegalFunction &&
            r.exception != kIllegalDataAddress && r.exception != kIllegalDataValue)
            __builtin_trap();
        at += r.frame_bytes;
    }
    return 0;
}
