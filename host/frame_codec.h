#pragma once
// ASCII-hex frame codec of the telecom power-monitoring protocol.
//
// One frame on the wire (command 0x41/0x45, INFO 1F 02, address 1, version 0x21):
//   7E  "21"  "01"  "41"  "45"       "C004"              "1F02"  "FCBE"   0D
//   SOI VER   ADR   CID1  CID2/RTN   LCHKSUM:4 LENID:12  INFO    CHKSUM   EOI
// LENID counts the ASCII characters of INFO; every multi-byte field is sent high first.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace smd {

// Every error the decoder can find in a frame; each has a name and a counter.
enum class FrameError : uint8_t {
    Checksum,
    LengthChecksum,
    LengthMismatch,
    BadHex,
    OddLength,
    Oversize,
    CutBySoi  // the last: the count below follows it
};
constexpr size_t kFrameErrorCount = 7;
static_assert(static_cast<size_t>(FrameError::CutBySoi) + 1 == kFrameErrorCount,
              "a frame error added to the enum needs its counter, its name and its count");

const char* frame_error_name(FrameError w);

struct FrameCounters {
    uint64_t accepted = 0;
    uint64_t by_kind[kFrameErrorCount] = {};  // indexed by FrameError
    uint64_t stray_bytes = 0;  // bytes seen outside any frame
    uint64_t errors() const;   // sum of all anomaly counters
};

constexpr uint8_t kSoi = 0x7E;
constexpr uint8_t kEoi = 0x0D;

// Decoded frame as drivers receive it: byte 0 VER, 1 ADR, 2 CID1, 3 CID2 or RTN,
// 4 and 5 LENID little-endian (halved it is the INFO byte count), INFO from byte 6.
constexpr size_t kHeaderBytes = 6;
constexpr size_t kMaxInfoBytes = 2047;  // LENID is 12 bits
constexpr size_t kMaxFrameBytes = kHeaderBytes + kMaxInfoBytes;

// ASCII characters between SOI and EOI: header, INFO and checksum.
constexpr size_t kHeaderChars = 2 * kHeaderBytes;
constexpr size_t kChecksumChars = 4;
constexpr size_t kMinFrameChars = kHeaderChars + kChecksumChars;
constexpr size_t kMaxFrameChars = kMinFrameChars + 2 * kMaxInfoBytes;

class FrameSink {
   public:
    virtual ~FrameSink() = default;
    // length = 6 + INFO bytes; the bytes are valid for the duration of the call.
    virtual void on_frame(const uint8_t* frame, size_t length) = 0;
    virtual void on_frame_error(FrameError why) = 0;
};

// Splits a byte stream into frames and checks each one. Bytes may arrive in chunks of any
// size; a frame is held in a fixed buffer, so decoding allocates nothing.
class FrameDecoder {
   public:
    explicit FrameDecoder(FrameSink& sink);

    void feed(const uint8_t* data, size_t n);
    void reset();  // drops a partial frame
    const FrameCounters& counters() const;

   private:
    enum class State : uint8_t { Idle, InFrame, Skip };

    void start_frame();
    void take_char(uint8_t c);
    // Takes the hex digits at p (at most n) up to the first other byte, the
    // frame's cap or the end of the header; returns how many it took.
    size_t take_run(const uint8_t* p, size_t n);
    void limit_to_length();
    void end_frame();
    void reject(FrameError why, State next);

    FrameSink& sink_;
    FrameCounters counters_;
    State state_ = State::Idle;
    size_t chars_ = 0;                            // hex characters since SOI
    size_t char_cap_ = kMaxFrameChars;            // characters this frame may hold
    uint32_t char_sum_ = 0;                       // sum of the character codes since SOI
    std::array<uint8_t, kChecksumChars> tail_{};  // last four characters, by position mod 4
    // Wire bytes: header, INFO and the two CHKSUM bytes.
    std::array<uint8_t, kMaxFrameChars / 2> bytes_{};
};

// The 4-bit LCHKSUM of a 12-bit LENID.
uint8_t length_checksum(uint16_t lenid);
// CHKSUM over the ASCII characters between SOI and CHKSUM.
uint16_t frame_checksum(const char* ascii, size_t n);

// Wire text of one frame, SOI to EOI, uppercase hex. Throws std::length_error when
// info_len exceeds kMaxInfoBytes.
std::string encode_frame(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2, const uint8_t* info,
                         size_t info_len);

std::string to_hex(const uint8_t* p, size_t n);  // uppercase, no separators
// Replaces out with the bytes of text; whitespace is ignored. False (and out empty) on an
// odd number of digits or a non-hex character.
bool from_hex(const std::string& text, std::vector<uint8_t>& out);

}  // namespace smd
