#include "host/number_text.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace smd {

namespace {

constexpr int kPrecision = 6;      // a default stream's significant digits
constexpr int kJsonPrecision = 7;  // the gateway's JSON doubles ("%.7g")

// Writes "%.<precision>g" text of the value whose significant digits are
// digits[0..n) (n <= precision, no leading zero) and whose first digit stands
// at decimal position exp10: fixed notation for -4 <= exp10 < precision, else
// d.ddddde+XX; never a trailing zero after the point.
char* write_general(char* p, bool negative, const char* digits, int n, int exp10,
                    int precision = kPrecision) {
    while (n > 1 && digits[n - 1] == '0') --n;
    if (negative) *p++ = '-';
    if (exp10 >= -4 && exp10 < precision) {
        if (exp10 < 0) {
            *p++ = '0';
            *p++ = '.';
            for (int z = -1; z > exp10; --z) *p++ = '0';
            for (int i = 0; i < n; ++i) *p++ = digits[i];
            return p;
        }
        for (int i = 0; i <= exp10; ++i) *p++ = i < n ? digits[i] : '0';
        if (n > exp10 + 1) {
            *p++ = '.';
            for (int i = exp10 + 1; i < n; ++i) *p++ = digits[i];
        }
        return p;
    }
    *p++ = digits[0];
    if (n > 1) {
        *p++ = '.';
        for (int i = 1; i < n; ++i) *p++ = digits[i];
    }
    *p++ = 'e';
    *p++ = exp10 < 0 ? '-' : '+';
    unsigned e = static_cast<unsigned>(exp10 < 0 ? -exp10 : exp10);
    if (e >= 100) {
        *p++ = static_cast<char>('0' + e / 100);
        e %= 100;
    }
    *p++ = static_cast<char>('0' + e / 10);
    *p++ = static_cast<char>('0' + e % 10);
    return p;
}

// The shortest text that reads back as v, when it has at most `precision`
// significant digits, laid out as "%.<precision>g". That text is then the
// rounding of v to that many digits: v lies within half a unit in the last
// place of it, far closer than half a step of the last digit (true only for
// normal numbers, not denormals).
template <typename T>
char* write_short(char* p, T v, bool& done, int precision = kPrecision) {
    char sci[48];
    const auto res = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
    const char* s = sci;
    const bool negative = *s == '-';
    if (negative) ++s;
    char digits[kJsonPrecision];
    int n = 0;
    for (; s < res.ptr && *s != 'e'; ++s) {
        if (*s == '.') continue;
        if (n == precision) return p;  // more digits: the caller rounds
        digits[n++] = *s;
    }
    int exp10 = 0;
    if (s < res.ptr) std::from_chars(s + (s[1] == '+' ? 2 : 1), res.ptr, exp10);
    done = true;
    return write_general(p, negative, digits, n, exp10, precision);
}

// Values such as 53.4375 or 0.0125: v times a power of ten up to a million is a
// whole number below a million. That number's digits are then the six-digit
// rounding of v (the product is off by one rounding at most, far less than
// half a step of the sixth digit).
char* write_scaled(char* p, double v, bool& done) {
    constexpr double kScale[] = {1e1, 1e2, 1e3, 1e4, 1e5, 1e6};
    for (int d = 0; d < 6; ++d) {
        const double scaled = std::fabs(v) * kScale[d];
        if (!(scaled < 1e6)) return p;
        const auto whole = static_cast<int32_t>(scaled);
        if (static_cast<double>(whole) != scaled) continue;
        char digits[12];
        const int n =
            static_cast<int>(std::to_chars(digits, digits + sizeof digits, whole).ptr - digits);
        done = true;
        return write_general(p, v < 0, digits, n, n - 2 - d);
    }
    return p;
}

}  // namespace

char* write_float(char* p, double v) {
    // Whole numbers below a million are written as integers ("-0" keeps its sign).
    if (v > -1e6 && v < 1e6) {
        const auto whole = static_cast<int32_t>(v);
        if (static_cast<double>(whole) == v) {
            if (whole == 0 && std::signbit(v)) *p++ = '-';
            return std::to_chars(p, p + 12, whole).ptr;
        }
    }
    bool done = false;
    const double mag = std::fabs(v);
    if (mag >= 1e-4 && mag < 1e6) {
        p = write_scaled(p, v, done);
        if (done) return p;
    }
    const auto f = static_cast<float>(v);
    if (mag >= FLT_MIN && mag <= FLT_MAX && static_cast<double>(f) == v) {
        p = write_short(p, f, done);
    } else if (mag >= DBL_MIN && mag <= DBL_MAX) {
        p = write_short(p, v, done);
    }
    if (done) return p;
    return std::to_chars(p, p + kMaxFloatText, v, std::chars_format::general, kPrecision).ptr;
}

void append_float(std::string& out, double v) {
    char buf[kMaxFloatText];
    const char* end = write_float(buf, v);
    out.append(buf, static_cast<size_t>(end - buf));
}

std::string format_float(double v) {
    std::string s;
    append_float(s, v);
    return s;
}

namespace {

// Appends "%.7g" text from buf to p, with ".0" when it shows a whole number.
void append_json_text(std::string& out, char* buf, char* p) {
    bool fraction_or_exponent = false;
    for (const char* c = buf; c < p; ++c) fraction_or_exponent |= *c == '.' || *c == 'e';
    if (!fraction_or_exponent) {
        *p++ = '.';
        *p++ = '0';
    }
    out.append(buf, static_cast<size_t>(p - buf));
}

}  // namespace

void append_json_number(std::string& out, double v) {
    if (!std::isfinite(v)) {
        out += "null";
        return;
    }
    // "%.7g" without printf, which costs about a microsecond a number: whole
    // numbers below ten million as integers, then the shortest text when it
    // has seven digits or fewer, the exact conversion only for the rest.
    char buf[kMaxFloatText + 2];
    char* p = buf;
    bool done = false;
    if (v > -1e7 && v < 1e7) {
        const auto whole = static_cast<int32_t>(v);
        if (static_cast<double>(whole) == v) {
            if (whole == 0 && std::signbit(v)) *p++ = '-';
            p = std::to_chars(p, p + 12, whole).ptr;
            done = true;
        }
    }
    if (!done && std::fabs(v) >= DBL_MIN) p = write_short(p, v, done, kJsonPrecision);
    if (!done)
        p = std::to_chars(p, buf + kMaxFloatText, v, std::chars_format::general, kJsonPrecision)
                .ptr;
    append_json_text(out, buf, p);
}

void append_json_float(std::string& out, float v) {
    if (!std::isfinite(v)) {
        out += "null";
        return;
    }
    // The float's shortest text S, when it has seven digits or fewer, is what
    // "%.7g" writes for the double nearest to S: that double lies far within
    // half a step of the seventh digit from S (denormal floats included, they
    // are normal doubles).
    char buf[kMaxFloatText + 2];
    bool done = false;
    char* p = write_short(buf, v, done, kJsonPrecision);
    if (done) {
        append_json_text(out, buf, p);
        return;
    }
    char text[32];
    const auto shortest = std::to_chars(text, text + sizeof text, v);
    double d = v;
    std::from_chars(text, shortest.ptr, d);
    append_json_number(out, d);
}

}  // namespace smd
