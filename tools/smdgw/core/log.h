#pragma once
// smdgw's own messages ("smdgw: ..." on standard error), each with a level.
// Under Telegraf's execd input (--format influx) every line carries the
// level's prefix ("E! ", "W! ", "I! ", "D! "): Telegraf takes an unprefixed
// line for an error. The plug-in's log is not written here (log_redirect.h).
//
// The logger is process-wide on purpose: one standard error, one style, set
// once by main before any thread starts; lines from several threads are
// written whole, one at a time.

#include <cstdint>
#include <iosfwd>
#include <string>

namespace smdgw {

enum class LogLevel { Error, Warning, Info, Debug };

// The Telegraf prefix of a level: "E! ", "W! ", "I! " or "D! ".
const char* telegraf_prefix(LogLevel level);

struct LogSettings {
    bool telegraf = false;       // prefix each line with its level
    bool debug = false;          // write debug lines too
    std::ostream* to = nullptr;  // standard error when null (tests give a stream)
};

// Replaces the settings; returns the previous ones (tests put them back).
LogSettings set_log(const LogSettings& settings);

// Writes "smdgw: <text>" as one line.
void log_line(LogLevel level, const std::string& text);
inline void log_error(const std::string& text) { log_line(LogLevel::Error, text); }
inline void log_warning(const std::string& text) { log_line(LogLevel::Warning, text); }
inline void log_info(const std::string& text) { log_line(LogLevel::Info, text); }
inline void log_debug(const std::string& text) { log_line(LogLevel::Debug, text); }

// "1 message", "3 messages": a count and its noun, for the lines above.
std::string count_text(uint64_t n, const std::string& one, const std::string& many = "");
// Says an error in the options; false, for "return usage_error(...)" in a check.
bool usage_error(const std::string& text);

}  // namespace smdgw
