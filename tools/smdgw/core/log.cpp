#include "tools/smdgw/core/log.h"

#include <iostream>
#include <mutex>

namespace smdgw {

namespace {

// The logger's state, owned by the process (see log.h).
std::mutex& log_mutex() {
    static std::mutex m;
    return m;
}

LogSettings& settings() {
    static LogSettings s;
    return s;
}

}  // namespace

const char* telegraf_prefix(LogLevel level) {
    switch (level) {
        case LogLevel::Error:
            return "E! ";
        case LogLevel::Warning:
            return "W! ";
        case LogLevel::Info:
            return "I! ";
        case LogLevel::Debug:
            break;
    }
    return "D! ";
}

LogSettings set_log(const LogSettings& s) {
    std::lock_guard<std::mutex> lock(log_mutex());
    const LogSettings previous = settings();
    settings() = s;
    return previous;
}

void log_line(LogLevel level, const std::string& text) {
    std::lock_guard<std::mutex> lock(log_mutex());
    const LogSettings& s = settings();
    if (level == LogLevel::Debug && !s.debug) return;
    std::string line;
    line.reserve(text.size() + 12);
    if (s.telegraf) line += telegraf_prefix(level);
    line += "smdgw: ";
    line += text;
    line += '\n';
    std::ostream& out = s.to ? *s.to : std::cerr;
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
    out.flush();
}

std::string count_text(uint64_t n, const std::string& one, const std::string& many) {
    return std::to_string(n) + " " + (n == 1 ? one : many.empty() ? one + "s" : many);
}

bool usage_error(const std::string& text) {
    log_error(text);
    return false;
}

}  // namespace smdgw
