// Decoders of the AC distribution responses to the family's own polls
// (0x40/0x41, 0x40/0x42, 0x40/0x43, 0x40/0x44). Each starts after DATAFLAG.

#include <cstdio>
#include <type_traits>

#include "datadevice/driver_log.h"
#include "pmbuspower/pmbuspower_419.h"
#include "pmbuspower/poll_fields.h"

namespace pmbus_poll {

// The model whose AC payloads carry extra values.
constexpr const char* kExtraAcModel = "vrq55_h302v20_419";

}  // namespace pmbus_poll

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse40_41(const unsigned char* p, int length) {
    using namespace pmbus_poll;
    constexpr size_t kInputs = std::extent<decltype(DataT::ac_channels)>::value;
    PollCursor c(p, length);
    auto& d = this->cData;
    const bool model = this->DeviceType() == kExtraAcModel;
    uint8_t m = 0;
    if (!c.byte(m)) return -1;
    d.ac.channel_count = m;
    (veltra::LogLine() << "parse40_41 channel_count is ").put_char(static_cast<char>(m));
    for (unsigned i = 0; i < m; ++i) {
        // Inputs beyond the record's two are read and dropped.
        auto scratch = d.ac_channels[0];
        auto& ch = i < kInputs ? d.ac_channels[i] : scratch;
        Raw4 raw{};
        float v = 0.0f;
        if (!read_marked_float(c, 0.0f, v, raw)) return -1;
        ch.a = v;
        std::printf("a %x %x %x %x\n", unsigned{raw[0]}, unsigned{raw[1]}, unsigned{raw[2]},
                    unsigned{raw[3]});
        veltra::LogLine() << "parse40_41 acChannel.a is " << v;
        if (!read_marked_float(c, 0.0f, v, raw)) return -1;
        ch.b = v;
        if (!read_marked_float(c, 0.0f, v, raw)) return -1;
        ch.c = v;
        if (!read_marked_float(c, 0.0f, v, raw)) return -1;
        ch.f = v;
        if (has_tower) {
            std::printf("tower_count is %d\n", 0);
            uint8_t t = 0;
            if (!c.byte(t)) return -1;
            c.skip(4u * t);
        }
        uint8_t count = 0;
        if (!c.byte(count)) return -1;
        if (model) {
            // One extra value follows whatever the count says; the record has no room for it.
            ch.p40_41_count = 1;
            if (!read_marked_float(c, no_value(), v, raw)) return -1;
            std::printf("parse40_41 1:%f\n", v);
        } else {
            ch.p40_41_count = count;
            if (count != 0)
                (veltra::LogLine() << "acChannel.p40_41_count ").put_char(static_cast<char>(count));
            c.skip(4u * count);
        }
    }
    Raw4 raw{};
    float ia = 0.0f;
    float ib = 0.0f;
    float ic = 0.0f;
    if (!read_marked_float(c, no_value(), ia, raw)) return -1;
    d.ac.ia = ia;
    if (!is_no_value(raw)) std::printf("ia is %f\n", ia);
    if (!read_marked_float(c, no_value(), ib, raw)) return -1;
    d.ac.ib = ib;
    if (!read_marked_float(c, no_value(), ic, raw)) return -1;
    d.ac.ic = ic;
    return checked_result(c);
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse40_42(const unsigned char* p, int length) {
    using namespace pmbus_poll;
    constexpr size_t kInputs = std::extent<decltype(DataT::ac_channels)>::value;
    PollCursor c(p, length);
    auto& d = this->cData;
    const auto overflow = [] {
        veltra::LogLine() << "parse40_42:overflow";
        return -1;
    };
    uint8_t m = 0;
    if (!c.byte(m)) return overflow();
    d.ac.channel_count = m;
    for (unsigned i = 0; i < m; ++i) {
        auto scratch = d.ac_channels[0];
        auto& ch = i < kInputs ? d.ac_channels[i] : scratch;
        float v = 0.0f;
        if (!read_marked_hundredths(c, 0.0f, v)) return overflow();
        ch.a = v;
        if (!read_marked_hundredths(c, 0.0f, v)) return overflow();
        ch.b = v;
        if (!read_marked_hundredths(c, 0.0f, v)) return overflow();
        ch.c = v;
        if (!read_marked_hundredths(c, 0.0f, v)) return overflow();
        ch.f = v;
        uint8_t count = 0;
        if (!c.byte(count)) return overflow();
        ch.p40_41_count = count;
        if (count != 0)
            (veltra::LogLine() << "acChannel.p40_41_count ").put_char(static_cast<char>(count));
        c.skip(2u * count);
    }
    float v = 0.0f;
    if (!read_marked_hundredths(c, no_value(), v)) return overflow();
    d.ac.ia = v;
    if (!read_marked_hundredths(c, no_value(), v)) return overflow();
    d.ac.ib = v;
    if (!read_marked_hundredths(c, no_value(), v)) return overflow();
    d.ac.ic = v;
    return c.overrun() ? overflow() : c.used();
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse40_43(const unsigned char* p, int length) {
    using namespace pmbus_poll;
    PollCursor c(p, length);
    auto& ac = this->cData.ac;
    uint8_t k = 0;
    if (!c.byte(k)) return -1;
    ac.airlock_count = k;
    if (k > ac.AIRLOCK_MAX()) return -1;  // the record keeps no breaker states
    if (has_tower) {
        uint8_t t = 0;
        if (!c.byte(t)) return -1;
        c.skip(t);
    }
    uint8_t r = 0;
    if (!c.byte(r)) return -1;
    ac.p40_43_count = r;
    if (r > ac.P40_43_SIZE()) {
        c.skip(r);
        return c.used();
    }
    if (!read_codes(c, r, ac.p40_43, 0)) return -1;
    return checked_result(c);
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse40_44(const unsigned char* p, int length) {
    using namespace pmbus_poll;
    constexpr size_t kInputs = std::extent<decltype(DataT::ac_channels)>::value;
    PollCursor c(p, length);
    auto& d = this->cData;
    const bool model = this->DeviceType() == kExtraAcModel;
    const auto overflow = [&c] {
        veltra::LogLine() << "PMBusPowerAC:ProcotolError read 40_44 read overflow";
        return c.used();
    };
    uint8_t m = 0;
    if (!c.byte(m)) return overflow();
    veltra::LogLine() << "channel is " << m;
    size_t placed = 0;  // entries the model and tower blocks put before the user codes
    for (unsigned i = 0; i < m; ++i) {
        auto scratch = d.ac_channels[0];
        auto& ch = i < kInputs ? d.ac_channels[i] : scratch;
        uint8_t code = 0;
        if (!c.byte(code)) return overflow();
        ch.alert_a = code;
        if (!c.byte(code)) return overflow();
        ch.alert_b = code;
        if (!c.byte(code)) return overflow();
        ch.alert_c = code;
        if (!c.byte(code)) return overflow();
        ch.alert_f = code;
        uint8_t k = 0;
        if (!c.byte(k)) return overflow();
        placed = 0;
        if (model) {
            if (!read_codes(c, k, ch.p40_44, 0)) return overflow();
            placed = k;
        } else {
            c.skip(k);
        }
        if (has_tower) {
            uint8_t n = 0;
            if (!c.byte(n)) return overflow();
            if (!read_codes(c, n, ch.p40_44, placed)) return overflow();
            placed += n;
        }
        uint8_t count = 0;
        if (!c.byte(count)) return overflow();
        ch.p40_44_count = count;
        if (count <= ch.p40_44_SIZE()) {
            if (!read_codes(c, count, ch.p40_44, placed)) return overflow();
        } else {
            c.skip(count);
        }
    }
    uint8_t code = 0;
    if (!c.byte(code)) return overflow();
    d.ac.ia_alert = code;
    if (!c.byte(code)) return overflow();
    d.ac.ib_alert = code;
    if (!c.byte(code)) return overflow();
    d.ac.ic_alert = code;
    if (model) {
        auto& first = d.ac_channels[0];
        if (!read_codes(c, 1, first.p40_44, first.p40_44_count + placed)) return overflow();
    }
    return c.overrun() ? overflow() : c.used();
}
