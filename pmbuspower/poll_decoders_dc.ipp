// Decoders of the DC distribution responses to the family's own polls
// (0x42/0x41, 0x42/0x42, 0x42/0x44), one panel each; the poll sequence hands
// panel 2 the bytes after panel 1.

#include <cstdio>
#include <type_traits>

#include "pmbuspower/pmbuspower_419.h"
#include "pmbuspower/poll_fields.h"

namespace pmbus_poll {

// How the values of one DC analog panel are sent: float or fixed point.
struct DcAnalogFormat {
    bool fixed;
    int32_t dc_i_adjust;  // applied to the float total current only
    int divisor;          // fixed point: currents are divided by it
};

// One DC analog panel into section s. The first current list of the fixed-point
// form is scaled like the total current (÷divisor).
template <class DcT>
int decode_dc_analog(PollCursor& c, DcT& s, const DcAnalogFormat& fmt) {
    constexpr size_t kCurrents = std::extent<decltype(s.dc_i)>::value;
    constexpr size_t kValues = std::extent<decltype(s.p)>::value;
    const unsigned width = fmt.fixed ? 2u : 4u;
    // One value of the panel; `current` selects the current scaling of the fixed form.
    const auto value = [&c, &fmt](bool current, float& out, bool& no_value_marker) {
        if (fmt.fixed) {
            Raw2 raw{};
            if (!c.take(raw)) return false;
            out = current ? divided(raw, fmt.divisor) : static_cast<float>(wire_u16(raw));
            no_value_marker = is_no_value(raw);
            return true;
        }
        Raw4 raw{};
        if (!c.take(raw)) return false;
        out = wire_float(raw);
        no_value_marker = is_no_value(raw);
        return true;
    };
    bool marker = false;
    float v = 0.0f;
    float i = 0.0f;
    if (fmt.fixed) {
        Raw2 raw{};
        if (!c.take(raw)) return -1;
        v = hundredths(raw);
    } else if (!value(false, v, marker)) {
        return -1;
    }
    s.v = v;
    if (!value(true, i, marker)) return -1;
    if (!fmt.fixed) i *= static_cast<float>(fmt.dc_i_adjust);
    s.i = i;
    std::printf("parse42_41 %f %f\n", v, i);
    uint8_t m = 0;
    if (!c.byte(m)) return -1;
    s.m = m;
    if (m > kCurrents) {
        c.skip(uint64_t{width} * m);
    } else {
        for (unsigned k = 0; k < m; ++k) {
            float cur = 0.0f;
            if (!value(true, cur, marker)) return -1;
            s.dc_i[k] = cur;
        }
    }
    uint8_t n = 0;
    if (!c.byte(n)) return -1;
    s.n = n;
    c.skip(uint64_t{width} * n);
    uint8_t count = 0;
    if (!c.byte(count)) return -1;
    s.p_count = count;
    // An oversized user list is taken as the rest of the payload.
    if (count > kValues) return c.length();
    for (unsigned k = 0; k < count; ++k) {
        float x = 0.0f;
        if (!value(false, x, marker)) return -1;
        s.p[k] = marker ? no_value() : x;
    }
    return checked_result(c);
}

// One DC alarm panel into section s. Oversized lists keep what fits.
template <class DcT>
int decode_dc_alarms(PollCursor& c, DcT& s) {
    uint8_t code = 0;
    if (!c.byte(code)) return -1;
    s.alert_v = code;
    uint8_t m = 0;
    if (!c.byte(m)) return -1;
    s.alert_m_count = m;
    if (!read_codes(c, m, s.alert_m, 0)) return -1;
    uint8_t p = 0;
    if (!c.byte(p)) return -1;
    s.alert_p_count = p;
    if (!read_codes(c, p, s.alert_p, 0)) return -1;
    return checked_result(c);
}

}  // namespace pmbus_poll

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse42_41(const unsigned char* p, int length) {
    pmbus_poll::PollCursor c(p, length);
    return pmbus_poll::decode_dc_analog(c, this->cData.dc, {false, dc_i_adjust, divisor_});
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse42_41_2(const unsigned char* p, int length) {
    pmbus_poll::PollCursor c(p, length);
    return pmbus_poll::decode_dc_analog(c, this->cData.dc2, {false, dc_i_adjust, divisor_});
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse42_42(const unsigned char* p, int length) {
    pmbus_poll::PollCursor c(p, length);
    return pmbus_poll::decode_dc_analog(c, this->cData.dc, {true, dc_i_adjust, divisor_});
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse42_42_2(const unsigned char* p, int length) {
    pmbus_poll::PollCursor c(p, length);
    return pmbus_poll::decode_dc_analog(c, this->cData.dc2, {true, dc_i_adjust, divisor_});
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse42_44(const unsigned char* p, int length) {
    pmbus_poll::PollCursor c(p, length);
    return pmbus_poll::decode_dc_alarms(c, this->cData.dc);
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse42_44_2(const unsigned char* p, int length) {
    pmbus_poll::PollCursor c(p, length);
    return pmbus_poll::decode_dc_alarms(c, this->cData.dc2);
}
