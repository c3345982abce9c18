#pragma once
// One log line built in a single buffer: text and numbers are appended in
// place, then the line is written at once, with its line feed, and flushed.

#include <charconv>
#include <cstddef>
#include <cstring>
#include <ostream>
#include <string>
#include <type_traits>

#include "host/number_text.h"

namespace smd {

class LineText {
   public:
    explicit LineText(size_t expected = 256) { buf_.resize(expected); }

    void put(const char* s, size_t n) {
        std::memcpy(room(n), s, n);
        len_ += n;
    }
    void put(const char* s) { put(s, std::strlen(s)); }
    void put(const std::string& s) { put(s.data(), s.size()); }
    void put(char c) {
        *room(1) = c;
        ++len_;
    }
    // Decimal, without the C locale.
    template <typename T, typename = std::enable_if_t<std::is_integral<T>::value>>
    void put_int(T v) {
        constexpr size_t kMaxDigits = 24;
        char* p = room(kMaxDigits);
        len_ = static_cast<size_t>(std::to_chars(p, p + kMaxDigits, v).ptr - buf_.data());
    }
    // As a default std::ostream writes a float or double.
    void put_float(double v) {
        char* p = room(kMaxFloatText);
        len_ = static_cast<size_t>(write_float(p, v) - buf_.data());
    }

    // Ends the line and writes it to os in one write, then flushes os.
    void write_line(std::ostream& os) {
        put('\n');
        os.write(buf_.data(), static_cast<std::streamsize>(len_));
        os.flush();
    }

   private:
    char* room(size_t n) {
        if (buf_.size() - len_ < n) buf_.resize(2 * buf_.size() + n);
        return &buf_[len_];
    }

    std::string buf_;  // its size is the room; len_ bytes are the line
    size_t len_ = 0;
};

}  // namespace smd
