#pragma once
// One Modbus TCP request read from a client's bytes: the MBAP header
// (transaction, protocol identifier 0, length, unit) and the PDU's function
// code, address and quantity, checked against the protocol's limits before
// anything else looks at it. A pure function of the bytes, so it is fuzzed
// (fuzz/modbus_request_fuzz.cpp).

#include <cstddef>
#include <cstdint>

namespace smdgw::modbus {

// The exception codes this server answers (docs/modbus.md).
enum Exception : uint8_t {
    kIllegalFunction = 0x01,     // a write, or a function it does not serve
    kIllegalDataAddress = 0x02,  // addresses outside the map
    kIllegalDataValue = 0x03,    // a quantity outside the protocol's range, a PDU of wrong length
    kGatewayPathUnavailable = 0x0A,  // no device has this unit id
    kGatewayTargetFailed = 0x0B,     // the device's data is not live
};

// What the bytes at the front of a connection's buffer are.
enum class Framing : uint8_t {
    Incomplete,  // a whole frame has not come yet
    Complete,    // one frame of frame_bytes
    BadProtocol,  // protocol identifier not 0: not Modbus, the connection is closed
    BadLength,    // length field below 2 or above 254: the connection is closed
};

enum class Access : uint8_t {
    Bits,       // 1 coils, 2 discrete inputs: the alarm states
    Registers,  // 3 holding, 4 input registers: the same map
    Write,      // 5, 6, 15, 16, 22, 23: refused, the server is read-only
    Other,      // any other function code
};

struct Request {
    size_t frame_bytes = 0;  // MBAP header and PDU
    uint16_t transaction = 0;
    uint8_t unit = 0;
    uint8_t function = 0;
    Access access = Access::Other;
    uint16_t address = 0;
    uint16_t quantity = 0;
    // 0 for a read to answer, else the exception it gets whatever the unit.
    uint8_t exception = 0;
};

constexpr size_t kMbapHeaderBytes = 7;  // transaction, protocol, length, unit
constexpr size_t kMaxFrameBytes = 260;  // MBAP header and the longest PDU
constexpr uint16_t kMaxReadBits = 2000;
constexpr uint16_t kMaxReadRegisters = 125;

// Reads the frame at the front of data[0, size). With Complete, out holds it.
Framing parse_request(const uint8_t* data, size_t size, Request& out);

}  // namespace smdgw::modbus
