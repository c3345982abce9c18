#include "host/frame_codec.h"

#include <algorithm>
#include <stdexcept>

namespace smd {
namespace {

constexpr uint8_t kNoNibble = 0xFF;

constexpr std::array<uint8_t, 256> make_nibble_table() {
    std::array<uint8_t, 256> t{};
    for (size_t i = 0; i < t.size(); ++i) t[i] = kNoNibble;
    for (uint8_t i = 0; i < 10; ++i) t['0' + i] = i;
    for (uint8_t i = 0; i < 6; ++i) {
        t['A' + i] = static_cast<uint8_t>(10 + i);
        t['a' + i] = static_cast<uint8_t>(10 + i);
    }
    return t;
}

// Value of a hex digit in either case, kNoNibble for any other byte.
constexpr std::array<uint8_t, 256> kNibble = make_nibble_table();

constexpr char kHexDigits[] = "0123456789ABCDEF";

// The names of the frame errors, in the order of FrameError: the keys of the
// statistics and the kind label of veltra_frame_errors_total.
constexpr const char* kFrameErrorNames[] = {
    "checksum",   "length_checksum", "length_mismatch", "bad_hex",
    "odd_length", "oversize",        "cut_by_soi",
};
static_assert(sizeof kFrameErrorNames / sizeof kFrameErrorNames[0] == kFrameErrorCount,
              "every frame error has one name");

void append_hex(std::string& out, uint8_t b) {
    out.push_back(kHexDigits[b >> 4]);
    out.push_back(kHexDigits[b & 0x0F]);
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

}  // namespace

const char* frame_error_name(FrameError w) {
    const size_t i = static_cast<size_t>(w);
    return i < kFrameErrorCount ? kFrameErrorNames[i] : "unknown";
}

uint64_t FrameCounters::errors() const {
    uint64_t sum = 0;
    for (uint64_t n : by_kind) sum += n;
    return sum;
}

uint8_t length_checksum(uint16_t lenid) {
    const unsigned sum = (lenid & 0x0F) + ((lenid >> 4) & 0x0F) + ((lenid >> 8) & 0x0F);
    return static_cast<uint8_t>((~sum + 1u) & 0x0F);
}

uint16_t frame_checksum(const char* ascii, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum += static_cast<uint8_t>(ascii[i]);
    return static_cast<uint16_t>(~sum + 1u);
}

std::string encode_frame(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2, const uint8_t* info,
                         size_t info_len) {
    if (info_len > kMaxInfoBytes) throw std::length_error("frame INFO longer than 2047 bytes");
    const uint16_t lenid = static_cast<uint16_t>(2 * info_len);
    const uint16_t length = static_cast<uint16_t>(length_checksum(lenid) << 12 | lenid);

    std::string out;
    out.reserve(1 + kMinFrameChars + lenid + 1);
    out.push_back(static_cast<char>(kSoi));
    append_hex(out, ver);
    append_hex(out, adr);
    append_hex(out, cid1);
    append_hex(out, cid2);
    append_hex(out, static_cast<uint8_t>(length >> 8));
    append_hex(out, static_cast<uint8_t>(length));
    for (size_t i = 0; i < info_len; ++i) append_hex(out, info[i]);
    const uint16_t chk = frame_checksum(out.data() + 1, out.size() - 1);
    append_hex(out, static_cast<uint8_t>(chk >> 8));
    append_hex(out, static_cast<uint8_t>(chk));
    out.push_back(static_cast<char>(kEoi));
    return out;
}

std::string to_hex(const uint8_t* p, size_t n) {
    std::string out;
    out.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) append_hex(out, p[i]);
    return out;
}

bool from_hex(const std::string& text, std::vector<uint8_t>& out) {
    out.clear();
    out.reserve(text.size() / 2);
    bool high = true;
    uint8_t pending = 0;
    for (char c : text) {
        if (is_space(c)) continue;
        const uint8_t nib = kNibble[static_cast<uint8_t>(c)];
        if (nib == kNoNibble) {
            out.clear();
            return false;
        }
        if (high) {
            pending = static_cast<uint8_t>(nib << 4);
        } else {
            out.push_back(static_cast<uint8_t>(pending | nib));
        }
        high = !high;
    }
    if (!high) {
        out.clear();
        return false;
    }
    return true;
}

FrameDecoder::FrameDecoder(FrameSink& sink) : sink_(sink) {}

const FrameCounters& FrameDecoder::counters() const { return counters_; }

void FrameDecoder::reset() { state_ = State::Idle; }

void FrameDecoder::start_frame() {
    state_ = State::InFrame;
    chars_ = 0;
    char_cap_ = kMaxFrameChars;
    char_sum_ = 0;
}

void FrameDecoder::reject(FrameError why, State next) {
    state_ = next;
    ++counters_.by_kind[static_cast<size_t>(why)];
    sink_.on_frame_error(why);
}

void FrameDecoder::feed(const uint8_t* data, size_t n) {
    size_t i = 0;
    while (i < n) {
        // Inside a frame the hex digits go in runs; SOI, EOI and every other
        // byte are taken one at a time below.
        if (state_ == State::InFrame) {
            i += take_run(data + i, n - i);
            if (i == n) break;
        }
        const uint8_t c = data[i++];
        switch (state_) {
            case State::Idle:
                if (c == kSoi) {
                    start_frame();
                } else {
                    ++counters_.stray_bytes;
                }
                break;
            case State::InFrame:
                if (c == kSoi) {
                    reject(FrameError::CutBySoi, State::InFrame);
                    start_frame();
                } else if (c == kEoi) {
                    end_frame();
                } else {
                    take_char(c);
                }
                break;
            case State::Skip:
                // The rest of a rejected frame: up to its EOI, or the SOI of the next one.
                if (c == kSoi) {
                    start_frame();
                } else if (c == kEoi) {
                    state_ = State::Idle;
                }
                break;
        }
    }
}

size_t FrameDecoder::take_run(const uint8_t* p, size_t n) {
    size_t k = 0;
    while (k < n) {
        // A run stops at the frame's cap and at the end of the header, whose
        // LENGTH sets the cap.
        size_t limit = std::min(n - k, char_cap_ - chars_);
        if (chars_ < kHeaderChars) limit = std::min(limit, kHeaderChars - chars_);
        if (limit == 0) return k;
        const uint8_t* run = p + k;
        size_t pos = chars_;
        uint32_t sum = char_sum_;
        size_t m = 0;
        for (; m < limit; ++m) {
            const uint8_t c = run[m];
            const uint8_t nib = kNibble[c];
            if (nib == kNoNibble) break;
            sum += c;
            uint8_t& b = bytes_[pos / 2];
            b = (pos & 1) ? static_cast<uint8_t>(b | nib) : static_cast<uint8_t>(nib << 4);
            ++pos;
        }
        for (size_t t = m > kChecksumChars ? m - kChecksumChars : 0; t < m; ++t)
            tail_[(chars_ + t) % kChecksumChars] = run[t];
        chars_ = pos;
        char_sum_ = sum;
        k += m;
        if (m > 0 && chars_ == kHeaderChars) limit_to_length();
        if (m < limit) return k;
    }
    return k;
}

void FrameDecoder::take_char(uint8_t c) {
    const uint8_t nib = kNibble[c];
    if (nib == kNoNibble) {
        reject(FrameError::BadHex, State::Skip);
        return;
    }
    if (chars_ >= char_cap_) {
        reject(FrameError::Oversize, State::Skip);
        return;
    }
    uint8_t& b = bytes_[chars_ / 2];
    b = (chars_ & 1) ? static_cast<uint8_t>(b | nib) : static_cast<uint8_t>(nib << 4);
    char_sum_ += c;
    tail_[chars_ % kChecksumChars] = c;
    ++chars_;
    if (chars_ == kHeaderChars) limit_to_length();
}

void FrameDecoder::limit_to_length() {
    // Once LENGTH is in and consistent, the frame may not run past what LENID allows.
    // A damaged LENGTH keeps the buffer's cap, so the frame is reported for its LENGTH.
    const uint16_t lenid = static_cast<uint16_t>((bytes_[4] & 0x0F) << 8 | bytes_[5]);
    if ((bytes_[4] >> 4) == length_checksum(lenid) && kMinFrameChars + lenid < char_cap_) {
        char_cap_ = kMinFrameChars + lenid;
    }
}

void FrameDecoder::end_frame() {
    const size_t n = chars_;
    if (n & 1) return reject(FrameError::OddLength, State::Idle);
    if (n < kMinFrameChars) return reject(FrameError::LengthMismatch, State::Idle);

    const uint16_t lenid = static_cast<uint16_t>((bytes_[4] & 0x0F) << 8 | bytes_[5]);
    if ((bytes_[4] >> 4) != length_checksum(lenid)) {
        return reject(FrameError::LengthChecksum, State::Idle);
    }
    if (n - kMinFrameChars != lenid) return reject(FrameError::LengthMismatch, State::Idle);

    uint32_t tail_sum = 0;
    for (uint8_t t : tail_) tail_sum += t;
    const uint16_t expected = static_cast<uint16_t>(~(char_sum_ - tail_sum) + 1u);
    const uint16_t received = static_cast<uint16_t>(bytes_[n / 2 - 2] << 8 | bytes_[n / 2 - 1]);
    if (expected != received) return reject(FrameError::Checksum, State::Idle);

    state_ = State::Idle;
    bytes_[4] = static_cast<uint8_t>(lenid);
    bytes_[5] = static_cast<uint8_t>(lenid >> 8);
    ++counters_.accepted;
    sink_.on_frame(bytes_.data(), kHeaderBytes + lenid / 2);
}

}  // namespace smd
