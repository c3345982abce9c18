#include "tools/smdgw/master/response_timing.h"

#include "host/frame_codec.h"

namespace smdgw::master {

namespace {

constexpr size_t kHeaderChars = smd::kHeaderChars;  // VER ADR CID1 CID2 LENGTH
constexpr size_t kFrameOverhead = 1 + kHeaderChars + smd::kChecksumChars + 1;
constexpr unsigned kBitsPerChar = 10;

int hex_value(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

Clock::duration line_time(size_t chars, int baud) {
    const double bits_per_second = baud > 0 ? baud : 9600;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
        static_cast<double>(chars) * kBitsPerChar / bits_per_second));
}

void FrameProgress::feed(const uint8_t* data, size_t n, Clock::time_point now) {
    for (size_t k = 0; k < n; ++k) {
        const uint8_t c = data[k];
        if (c == smd::kSoi) {
            in_frame_ = true;
            started_ = now;
            chars_ = 0;
            lenid_ = 0;
            continue;
        }
        if (!in_frame_) continue;
        if (c == smd::kEoi) {
            in_frame_ = false;
            continue;
        }
        if (chars_ >= kHeaderChars) continue;
        ++chars_;
        // LENGTH is characters 9 to 12: LCHKSUM, then the 12-bit LENID.
        const int v = hex_value(c);
        if (chars_ >= 10 && v >= 0) lenid_ = static_cast<uint16_t>(lenid_ << 4 | v);
    }
}

size_t FrameProgress::expected_chars() const {
    if (chars_ < kHeaderChars) return kFrameOverhead;
    return kFrameOverhead + lenid_;
}

}  // namespace smdgw::master
