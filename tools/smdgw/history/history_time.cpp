#include "tools/smdgw/history/history_time.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <limits>

namespace smdgw {

namespace {

// Reads exactly n digits at pos.
bool digits(const std::string& s, size_t& pos, size_t n, int& value) {
    if (pos + n > s.size()) return false;
    value = 0;
    for (size_t k = 0; k < n; ++k) {
        const char c = s[pos + k];
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        value = value * 10 + (c - '0');
    }
    pos += n;
    return true;
}

bool expect(const std::string& s, size_t& pos, char c) {
    if (pos >= s.size() || s[pos] != c) return false;
    ++pos;
    return true;
}

// A run of decimal digits that fits in int64_t, and nothing after it.
bool whole_number(const std::string& s, size_t pos, int64_t& value) {
    if (pos >= s.size()) return false;
    value = 0;
    for (; pos < s.size(); ++pos) {
        const char c = s[pos];
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        if (value > (std::numeric_limits<int64_t>::max() - (c - '0')) / 10) return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

}  // namespace

bool parse_time_text(const std::string& text, int64_t& seconds) {
    if (!text.empty() && text[0] == '@') return whole_number(text, 1, seconds);
    size_t pos = 0;
    int year, month, day, hour = 0, minute = 0, second = 0;
    if (!digits(text, pos, 4, year) || !expect(text, pos, '-') || !digits(text, pos, 2, month) ||
        !expect(text, pos, '-') || !digits(text, pos, 2, day)) {
        return false;
    }
    if (pos < text.size() && (text[pos] == ' ' || text[pos] == 'T')) {
        ++pos;
        if (!digits(text, pos, 2, hour) || !expect(text, pos, ':') ||
            !digits(text, pos, 2, minute)) {
            return false;
        }
        if (pos < text.size() && text[pos] == ':' && !(++pos, digits(text, pos, 2, second))) {
            return false;
        }
    }
    bool utc = false;
    if (pos < text.size() && text[pos] == 'Z') {
        utc = true;
        ++pos;
    }
    if (pos != text.size()) return false;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    const std::tm asked = tm;
    const std::time_t t = utc ? ::timegm(&tm) : std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1) && !(utc && year == 1969)) return false;
    // Normalisation moves 2025-02-30 to March: such a date does not exist.
    if (tm.tm_year != asked.tm_year || tm.tm_mon != asked.tm_mon || tm.tm_mday != asked.tm_mday ||
        tm.tm_min != asked.tm_min || tm.tm_sec != asked.tm_sec) {
        return false;
    }
    seconds = static_cast<int64_t>(t);
    return true;
}

bool parse_duration_text(const std::string& text, int64_t& seconds) {
    if (text.empty()) return false;
    int64_t unit = 1;
    std::string number = text;
    switch (text.back()) {
        case 's':
            unit = 1;
            break;
        case 'm':
            unit = 60;
            break;
        case 'h':
            unit = 3600;
            break;
        case 'd':
            unit = 86400;
            break;
        default:
            unit = 0;
    }
    if (unit != 0) {
        number.pop_back();
    } else {
        unit = 1;
    }
    int64_t n = 0;
    if (!whole_number(number, 0, n) || n > std::numeric_limits<int64_t>::max() / unit) {
        return false;
    }
    seconds = n * unit;
    return true;
}

std::string local_time_text(int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (!::localtime_r(&t, &tm)) return std::to_string(seconds);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

}  // namespace smdgw
