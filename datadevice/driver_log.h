#pragma once
// The driver's log: plain lines on standard output, each ended by a line feed
// and a flush. A line is built in one buffer and written once. Like any
// formatted output it does nothing while std::cout is not good: the host puts
// std::cout in the bad state when it does not write the log, and the line
// then costs one check instead of its formatting.

#include <cstdint>
#include <string>

#include "host/line_text.h"

namespace veltra {

class LogLine {
   public:
    LogLine();
    LogLine(const LogLine&) = delete;
    LogLine& operator=(const LogLine&) = delete;
    ~LogLine();

    LogLine& operator<<(const char* s) {
        if (on_) buf_.put(s);
        return *this;
    }
    LogLine& operator<<(const std::string& s) {
        if (on_) buf_.put(s);
        return *this;
    }
    // Floats as a default std::ostream writes them (six significant digits).
    LogLine& operator<<(float v) {
        if (on_) buf_.put_float(v);
        return *this;
    }
    LogLine& operator<<(double v) {
        if (on_) buf_.put_float(v);
        return *this;
    }
    // Integers in decimal; unsigned char is a number here, never a character.
    LogLine& operator<<(int v) { return num(static_cast<long long>(v)); }
    LogLine& operator<<(long v) { return num(static_cast<long long>(v)); }
    LogLine& operator<<(long long v) { return num(v); }
    LogLine& operator<<(unsigned v) { return unum(v); }
    LogLine& operator<<(unsigned long v) { return unum(v); }
    LogLine& operator<<(unsigned long long v) { return unum(v); }
    LogLine& operator<<(unsigned char v) { return unum(v); }
    LogLine& operator<<(unsigned short v) { return unum(v); }
    // A plain char would print as its code; say put_char for a character.
    LogLine& operator<<(char c) = delete;
    // A byte written as the character it codes.
    LogLine& put_char(char c) {
        if (on_) buf_.put(c);
        return *this;
    }

   private:
    LogLine& num(long long v) {
        if (on_) buf_.put_int(v);
        return *this;
    }
    LogLine& unum(unsigned long long v) {
        if (on_) buf_.put_int(v);
        return *this;
    }
    bool on_;  // std::cout was good when the line began
    smd::LineText buf_;
};

}  // namespace veltra
