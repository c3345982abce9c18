#pragma once
// Bounded access to the INFO bytes of a response to the family's own polls.
// The polling decoders count what a payload claims to hold, which may run past
// its end; nothing past the end is ever dereferenced.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace pmbus_poll {

using Raw2 = std::array<uint8_t, 2>;
using Raw4 = std::array<uint8_t, 4>;

// A run of INFO bytes; sub-runs are cut without leaving it.
class PollSpan {
   public:
    PollSpan() = default;
    // A negative length or a missing buffer gives an empty run.
    PollSpan(const unsigned char* data, int length)
        : data_(data && length > 0 ? data : nullptr), length_(data && length > 0 ? length : 0) {}

    const unsigned char* data() const { return data_; }
    int length() const { return length_; }

    // The bytes from offset on; empty when offset reaches the end.
    PollSpan from(int offset) const {
        if (offset <= 0) return *this;
        if (offset >= length_) return PollSpan(nullptr, 0);
        return PollSpan(data_ + offset, length_ - offset);
    }
    // Byte at index, when the run holds it.
    bool byte_at(int index, uint8_t& out) const {
        if (index < 0 || index >= length_) return false;
        out = data_[index];
        return true;
    }
    // n bytes from index, when the run holds all of them.
    template <size_t N>
    bool bytes_at(int index, std::array<uint8_t, N>& out) const {
        if (index < 0 || index > length_ || N > static_cast<size_t>(length_ - index)) return false;
        std::memcpy(out.data(), data_ + index, N);
        return true;
    }

   private:
    const unsigned char* data_ = nullptr;
    int length_ = 0;
};

// Cursor with a running count of bytes consumed. A read succeeds only when all
// its bytes lie within the length; a read or a step that does not fit is still
// counted, so the count can exceed the length and tells the decoder that the
// payload ran short.
class PollCursor {
   public:
    PollCursor(const unsigned char* data, int length) : span_(data, length) {}
    explicit PollCursor(const PollSpan& span) : span_(span) {}

    bool byte(uint8_t& out) {
        std::array<uint8_t, 1> one{};
        if (!take(one)) return false;
        out = one[0];
        return true;
    }
    template <size_t N>
    bool take(std::array<uint8_t, N>& out) {
        const bool fits = fits_(N);
        if (fits) std::memcpy(out.data(), span_.data() + consumed_, N);
        count_(N);
        return fits;
    }
    // Steps over n bytes without reading them.
    void skip(uint64_t n) { count_(n); }

    uint64_t consumed() const { return consumed_; }
    int length() const { return span_.length(); }
    bool overrun() const { return consumed_ > static_cast<uint64_t>(span_.length()); }
    // The count as a decoder result; saturates at the largest int.
    int used() const {
        constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int>::max());
        return static_cast<int>(consumed_ < kMax ? consumed_ : kMax);
    }

   private:
    bool fits_(uint64_t n) const {
        const uint64_t len = static_cast<uint64_t>(span_.length());
        return consumed_ <= len && n <= len - consumed_;
    }
    void count_(uint64_t n) {
        constexpr uint64_t kCap = std::numeric_limits<uint64_t>::max() / 2;
        consumed_ = n < kCap - consumed_ ? consumed_ + n : kCap;
    }

    PollSpan span_;
    uint64_t consumed_ = 0;
};

}  // namespace pmbus_poll
