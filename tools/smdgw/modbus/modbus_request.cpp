#include "tools/smdgw/modbus/modbus_request.h"

namespace smdgw::modbus {

namespace {

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

Access access_of(uint8_t function) {
    switch (function) {
        case 1:
        case 2:
            return Access::Bits;
        case 3:
        case 4:
            return Access::Registers;
        case 5:
        case 6:
        case 15:
        case 16:
        case 22:
        case 23:
            return Access::Write;
        default:
            return Access::Other;
    }
}

}  // namespace

Framing parse_request(const uint8_t* data, size_t size, Request& out) {
    // The header first: the length field bounds everything after it.
    if (size < 6) return Framing::Incomplete;
    if (be16(data + 2) != 0) return Framing::BadProtocol;
    const uint16_t length = be16(data + 4);  // unit id and PDU
    if (length < 2 || length > kMaxFrameBytes - 6) return Framing::BadLength;
    const size_t frame = 6u + length;
    if (size < frame) return Framing::Incomplete;
    Request r;
    r.frame_bytes = frame;
    r.transaction = be16(data);
    r.unit = data[6];
    r.function = data[7];
    r.access = access_of(r.function);
    const size_t pdu = length - 1u;  // function code and its data
    switch (r.access) {
        case Access::Write:
        case Access::Other:
            r.exception = kIllegalFunction;
            break;
        case Access::Bits:
        case Access::Registers: {
            // A read is the function code, an address and a quantity: 5 bytes.
            if (pdu != 5) {
                r.exception = kIllegalDataValue;
                break;
            }
            r.address = be16(data + 8);
            r.quantity = be16(data + 10);
            const uint16_t most = r.access == Access::Bits ? kMaxReadBits : kMaxReadRegisters;
            if (r.quantity < 1 || r.quantity > most)
                r.exception = kIllegalDataValue;
            else if (static_cast<uint32_t>(r.address) + r.quantity > 0x10000u)
                r.exception = kIllegalDataAddress;
            break;
        }
    }
    out = r;
    return Framing::Complete;
}

}  // namespace smdgw::modbus
