#pragma once
// Value encodings of the polling payloads: floats sent least significant byte
// first, fixed-point numbers sent high byte first, and the power system's
// "no value" marker (all bytes equal, first non-zero).

#include <cstdint>
#include <cstring>

#include "pmbuspower/poll_cursor.h"

namespace pmbus_poll {

// Stands in for a user-defined analog value or an AC current that is not there.
constexpr uint32_t kNoValueBits = 0xBDCCCCCDu;  // -0.1f

inline float no_value() {
    float v;
    std::memcpy(&v, &kNoValueBits, sizeof v);
    return v;
}

template <size_t N>
bool all_equal(const std::array<uint8_t, N>& raw) {
    for (size_t k = 1; k < N; ++k)
        if (raw[k] != raw[0]) return false;
    return true;
}

// The power system's marker for a field without a value.
template <size_t N>
bool is_no_value(const std::array<uint8_t, N>& raw) {
    return raw[0] != 0 && all_equal(raw);
}

// The float as it stood on the wire, bit for bit.
inline float wire_float(const Raw4& raw) {
    float v;
    std::memcpy(&v, raw.data(), sizeof v);
    return v;
}

inline uint16_t wire_u16(const Raw2& raw) { return static_cast<uint16_t>(raw[0] << 8 | raw[1]); }

// Fixed-point value divided by 100.0 (voltages, frequency, AC currents).
inline float hundredths(const Raw2& raw) {
    return static_cast<float>(static_cast<float>(wire_u16(raw)) / 100.0);
}

// Fixed-point value divided by the driver's current divisor.
inline float divided(const Raw2& raw, int divisor) {
    return static_cast<float>(wire_u16(raw)) / static_cast<float>(divisor);
}

}  // namespace pmbus_poll
