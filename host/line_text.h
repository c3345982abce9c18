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
    LineText() = default;
    LineText(const LineText&) = delete;
    LineText& operator=(const LineText&) = delete;

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
        len_ = static_cast<size_t>(std::to_chars(p, p + kMaxDigits, v).ptr - data_);
    }
    // As a default std::ostream writes a float or double.
    void put_float(double v) {
        char* p = room(kMaxFloatText);
        len_ = static_cast<size_t>(write_float(p, v) - data_);
    }

    // Ends the line and writes it to os in one write, then flushes os.
    void write_line(std::ostream& os) {
        put('\n');
        os.write(data_, static_cast<std::streamsize>(len_));
        os.flush();
    }

   private:
    // Most lines fit in the object itself; a longer one moves to the heap.
    static constexpr size_t kLocalRoom = 1024;

    char* room(size_t n) {
        if (cap_ - len_ < n) grow(n);
        return data_ + len_;
    }
    void grow(size_t n) {
        std::string bigger(2 * cap_ + n, '\0');
        std::memcpy(&bigger[0], data_, len_);
        heap_.swap(bigger);
        data_ = &heap_[0];
        cap_ = heap_.size();
    }

    char local_[kLocalRoom];
    std::string heap_;
    char* data_ = local_;
    size_t cap_ = kLocalRoom;
    size_t len_ = 0;  // bytes of the line so far
};

}  // namespace smd
