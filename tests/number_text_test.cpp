// Floats written without a stream must read exactly as a default std::ostream
// writes them: the log lines are compared byte for byte.

#include "host/number_text.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

template <typename T>
std::string stream_text(T v) {
    std::ostringstream os;
    os << v;
    return os.str();
}

template <typename T>
std::string bits_of(T v) {
    unsigned char b[sizeof(T)];
    std::memcpy(b, &v, sizeof b);
    std::ostringstream os;
    os << std::hex;
    for (size_t i = sizeof b; i-- > 0;) os << (b[i] >> 4) << (b[i] & 0x0F);
    return os.str();
}

template <typename T>
std::vector<T> value_classes() {
    using L = std::numeric_limits<T>;
    std::vector<T> v = {
        // integers
        0, 1, -1, 2, 7, 10, 42, 100, 12345, 99999, 100000, 999999, 1000000, 1234567, -7654321,
        16777216, 2147483647.0, 4294967296.0,
        // fractions and rounding at the sixth digit
        0.5, -0.125, 0.1, 0.2, 0.3, 1.0 / 3, 2.0 / 3, 53.4375, 53.5, 220.5, 49.99, 0.0001, 0.00001,
        0.000123456, 1e-5, 9.999995, 9.9999949, 999999.5, 999999.4, 0.1234565, 1.0000005, 123456.5,
        0.00009999995,
        // large and small magnitudes
        1e6, 1e7, 1e15, 1e16, 1e21, 3.4e38, -2.5e-7, 1e-30, 6.02214076e23, L::max(), L::lowest(),
        L::min(), -L::min(), L::epsilon(),
        // denormals
        L::denorm_min(), -L::denorm_min(), L::denorm_min() * 3, L::min() / 2, L::min() / 1024,
        // NaN, infinities and negative zero
        L::quiet_NaN(), -L::quiet_NaN(), L::signaling_NaN(), L::infinity(), -L::infinity(),
        static_cast<T>(-0.0)};
    for (int e = -45; e <= 45; ++e) {
        v.push_back(static_cast<T>(std::pow(10.0, e)));
        v.push_back(static_cast<T>(-1.5 * std::pow(10.0, e)));
        v.push_back(static_cast<T>(9.999996 * std::pow(10.0, e)));
    }
    return v;
}

template <typename T>
void expect_stream_text(T v) {
    EXPECT_EQ(stream_text(v), smd::format_float(v)) << "bits " << bits_of(v);
    std::string appended = "x=";
    smd::append_float(appended, v);
    EXPECT_EQ("x=" + stream_text(v), appended) << "bits " << bits_of(v);
}

TEST(NumberText, FloatClassesAsTheStreamWritesThem) {
    for (float v : value_classes<float>()) expect_stream_text(v);
}

TEST(NumberText, DoubleClassesAsTheStreamWritesThem) {
    for (double v : value_classes<double>()) expect_stream_text(v);
}

// Every exponent, sign, NaN payload and denormal comes up among random bit patterns.
template <typename T, typename Bits, typename Gen>
void check_random_bit_patterns(Gen gen) {
    for (int i = 0; i < 200000; ++i) {
        const auto bits = static_cast<Bits>(gen());
        T v;
        std::memcpy(&v, &bits, sizeof v);
        if (stream_text(v) != smd::format_float(v)) {
            expect_stream_text(v);
            return;
        }
    }
}

TEST(NumberText, RandomFloatBitPatterns) {
    check_random_bit_patterns<float, uint32_t>(std::mt19937(20261208));
}

TEST(NumberText, RandomDoubleBitPatterns) {
    check_random_bit_patterns<double, uint64_t>(std::mt19937_64(20261208));
}

// Decimals of one to six digits at every magnitude, read to the nearest float
// and double: the text a shortest conversion gives and six-digit rounding meet.
TEST(NumberText, ShortDecimalsAtEveryMagnitude) {
    std::mt19937 gen(4181);
    std::uniform_int_distribution<int> digits(1, 999999);
    for (int e = -330; e <= 310; ++e) {
        for (int i = 0; i < 40; ++i) {
            const std::string text = std::to_string(digits(gen)) + "e" + std::to_string(e);
            const double d = std::strtod(text.c_str(), nullptr);
            const float f = std::strtof(text.c_str(), nullptr);
            if (stream_text(d) != smd::format_float(d) || stream_text(f) != smd::format_float(f)) {
                expect_stream_text(d);
                expect_stream_text(f);
                return;
            }
        }
    }
}

// Values a decoder stores: small integers and fractions on a 1/1024 grid.
TEST(NumberText, MeasurementGrid) {
    for (int i = -300000; i <= 300000; i += 7) {
        const float v = static_cast<float>(i) / 1024.0f;
        if (stream_text(v) != smd::format_float(v)) {
            expect_stream_text(v);
            return;
        }
    }
}

// JSON numbers must read exactly as "%.7g" with ".0" on whole numbers: the
// JSON goldens and every consumer of the outputs depend on the text.
std::string printf_json(double v) {
    if (!std::isfinite(v)) return "null";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.7g", v);
    std::string s = buf;
    if (s.find_first_of(".e") == std::string::npos) s += ".0";
    return s;
}

bool json_differs(double v) {
    std::string out = "x=";
    smd::append_json_number(out, v);
    if (out == "x=" + printf_json(v)) return false;
    ADD_FAILURE() << "json " << out << " printf " << printf_json(v) << " bits " << bits_of(v);
    return true;
}

// A float goes out as the double nearest to its shortest text.
bool json_float_differs(float v) {
    std::string expected = "x=";
    if (std::isfinite(v)) {
        char text[32];
        const auto end = std::to_chars(text, text + sizeof text, v).ptr;
        expected += printf_json(std::strtod(std::string(text, end).c_str(), nullptr));
    } else {
        expected += "null";
    }
    std::string out = "x=";
    smd::append_json_float(out, v);
    if (out == expected) return false;
    ADD_FAILURE() << "json " << out << " expected " << expected << " bits " << bits_of(v);
    return true;
}

TEST(NumberText, JsonNumbersAsPrintfWritesThem) {
    for (double v : value_classes<double>())
        if (json_differs(v)) return;
    for (float v : value_classes<float>())
        if (json_differs(v) || json_float_differs(v)) return;
    for (double v : {9999999.0, 10000000.0, -9999999.0, 9999999.5, 0.99999995, 1234567.25,
                     12345675.0, 0.1234567, 0.12345675, 2147483648.0, -2147483649.0})
        if (json_differs(v)) return;
    std::mt19937_64 gen(20261209);
    for (int i = 0; i < 200000; ++i) {
        const uint64_t bits = gen();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        float f;
        const auto fbits = static_cast<uint32_t>(bits);
        std::memcpy(&f, &fbits, sizeof f);
        if (json_differs(d) || json_differs(f) || json_float_differs(f)) return;
    }
    std::uniform_int_distribution<int> digits(1, 99999999);
    for (int e = -330; e <= 310; ++e) {
        for (int i = 0; i < 40; ++i) {
            const std::string text = std::to_string(digits(gen)) + "e" + std::to_string(e);
            if (json_differs(std::strtod(text.c_str(), nullptr))) return;
            const float f = std::strtof(text.c_str(), nullptr);
            if (json_differs(f) || json_float_differs(f)) return;
        }
    }
    for (int i = -300000; i <= 300000; i += 7) {
        const float f = static_cast<float>(i) / 1024.0f;
        if (json_differs(f) || json_float_differs(f)) return;
    }
}

}  // namespace
