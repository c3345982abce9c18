#pragma once
// Which frames answer the command just sent. On a line the gateway polls,
// the driver is handed only the response to its own command: the device's
// address, a return code in byte 3, the command's CID1. Everything else is
// named and counted by the caller.
//
// Command and its response, address 1, as the codec hands them over:
//   21 01 41 43 00 00          VER ADR CID1 CID2 LENID(le)  (command 0x41/0x43)
//   21 01 41 00 1C 00 00 ...   VER ADR CID1 RTN  LENID(le) INFO (RTN 0x00: normal)

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace smdgw::master {

enum class FrameVerdict {
    Response,      // hand it to the driver
    Echo,          // our own command coming back (RS-485 adapters often echo)
    OtherAddress,  // another device's traffic
    Unexpected,    // this address, but no response to what was sent
};

// The return codes a response may carry (0x00 normal to 0x06).
constexpr uint8_t kLastReturnCode = 0x06;

// A command frame as written to the line and as the codec decodes it.
struct SentCommand {
    std::string wire;
    std::vector<uint8_t> decoded;  // VER ADR CID1 CID2 LENID(le) INFO
    bool valid() const { return decoded.size() >= 6; }
    uint8_t address() const { return decoded[1]; }
    uint8_t cid1() const { return decoded[2]; }
};

// Decodes the wire text of a command written by a driver; decoded stays
// empty when the text is no single valid frame.
SentCommand sent_command(const std::string& wire);

FrameVerdict classify_frame(const uint8_t* frame, size_t length, const SentCommand& sent);

const char* verdict_name(FrameVerdict v);

}  // namespace smdgw::master
