#include "datadevice/driver_log.h"

#include <charconv>
#include <iostream>

#include "host/number_text.h"

namespace veltra {

LogLine::~LogLine() {
    buf_ += '\n';
    std::cout.write(buf_.data(), static_cast<std::streamsize>(buf_.size()));
    std::cout.flush();
}

LogLine& LogLine::operator<<(float v) {
    smd::append_float(buf_, v);
    return *this;
}

LogLine& LogLine::operator<<(double v) {
    smd::append_float(buf_, v);
    return *this;
}

LogLine& LogLine::num(long long v) {
    char text[24];
    const char* end = std::to_chars(text, text + sizeof text, v).ptr;
    buf_.append(text, static_cast<size_t>(end - text));
    return *this;
}

LogLine& LogLine::unum(unsigned long long v) {
    char text[24];
    const char* end = std::to_chars(text, text + sizeof text, v).ptr;
    buf_.append(text, static_cast<size_t>(end - text));
    return *this;
}

}  // namespace veltra
