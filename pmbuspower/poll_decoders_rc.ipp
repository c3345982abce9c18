// Decoders of the rectifier responses to the family's own polls (0x41/0x41,
// 0x41/0x42, 0x41/0x43, 0x41/0x44). Each starts at DATAFLAG.

#include <cstdio>
#include <type_traits>

#include "pmbuspower/pmbuspower_419.h"
#include "pmbuspower/poll_fields.h"

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse41_41(const unsigned char* p, int length) {
    using namespace pmbus_poll;
    constexpr size_t kModules = std::extent<decltype(DataT::channels)>::value;
    PollCursor c(p, length);
    auto& d = this->cData;
    c.skip(1);  // DATAFLAG
    Raw4 raw{};
    if (!c.take(raw)) return -1;
    d.out_v = wire_float(raw);
    uint8_t n = 0;
    if (!c.byte(n)) return -1;
    d.channel_count = n;
    std::printf("parse 41_41 channel is %d\n", n);
    // A negative setting would step back into bytes already read.
    const uint64_t skip_after = skip_41_41 > 0 ? static_cast<uint64_t>(skip_41_41) : 0;
    for (unsigned j = 0; j < n; ++j) {
        // Modules beyond the record's forty are read and dropped.
        auto scratch = d.channels[0];
        auto& ch = j < kModules ? d.channels[j] : scratch;
        constexpr size_t kValues = std::extent<decltype(ch.p41_41)>::value;
        if (!c.take(raw)) return -1;
        ch.out_i = wire_float(raw);
        unsigned towers = 0;
        if (has_tower) {
            uint8_t t = 0;
            if (!c.byte(t)) return -1;
            towers = t;
            if (towers > 0) {
                // The first tower value is kept; the others are stepped over.
                if (!c.take(raw)) return -1;
                ch.p41_41[0] = wire_float(raw);
                std::printf("41 41 tower_count:%d temp:%f p41_41:%x %x %x %x\n", t, wire_float(raw),
                            unsigned{raw[0]}, unsigned{raw[1]}, unsigned{raw[2]}, unsigned{raw[3]});
                c.skip(4u * (towers - 1));
            }
        }
        uint8_t count = 0;
        if (!c.byte(count)) return -1;
        ch.p41_41_count = count;
        std::printf("41_41_count:%d\n", count);
        if (count > kValues) {
            c.skip(4u * count + skip_after);
            continue;
        }
        for (unsigned k = 0; k < count; ++k) {
            if (!c.take(raw)) return -1;
            if (towers + k < kValues)
                ch.p41_41[towers + k] = all_equal(raw) ? 0.0f : wire_float(raw);
        }
        c.skip(skip_after);
        if (c.overrun()) return -1;
    }
    return c.used();
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse41_42(const unsigned char* p, int length) {
    using namespace pmbus_poll;
    constexpr size_t kModules = std::extent<decltype(DataT::channels)>::value;
    PollCursor c(p, length);
    auto& d = this->cData;
    c.skip(1);  // DATAFLAG
    Raw2 raw{};
    if (!c.take(raw)) return -1;
    d.out_v = hundredths(raw);
    uint8_t n = 0;
    if (!c.byte(n)) return -1;
    d.channel_count = n;
    for (unsigned j = 0; j < n; ++j) {
        auto scratch = d.channels[0];
        auto& ch = j < kModules ? d.channels[j] : scratch;
        constexpr size_t kValues = std::extent<decltype(ch.p41_41)>::value;
        if (!c.take(raw)) return -1;
        ch.out_i = divided(raw, divisor_);
        uint8_t count = 0;
        if (!c.byte(count)) return -1;
        ch.p41_41_count = count;
        if (count > kValues) {
            c.skip(2u * count);
            continue;
        }
        for (unsigned k = 0; k < count; ++k) {
            if (!c.take(raw)) return -1;
            ch.p41_41[k] = all_equal(raw) ? 0.0f : static_cast<float>(wire_u16(raw));
        }
        if (c.overrun()) return -1;
    }
    return checked_result(c);
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse41_43(const unsigned char* p, int length) {
    using namespace pmbus_poll;
    constexpr size_t kModules = std::extent<decltype(DataT::channels)>::value;
    PollCursor c(p, length);
    auto& d = this->cData;
    // DATAFLAG and the payload's own module count: the analog response's count rules.
    c.skip(2);
    for (unsigned j = 0; j < d.channel_count; ++j) {
        auto scratch = d.channels[0];
        auto& ch = j < kModules ? d.channels[j] : scratch;
        uint8_t state = 0;
        if (!c.byte(state)) return -1;
        ch.shutdown = state;
        if (!c.byte(state)) return -1;
        ch.i_limit = state;
        if (!c.byte(state)) return -1;
        ch.charge = state;
        if (has_tower) {
            uint8_t t = 0;
            if (!c.byte(t)) return -1;
            c.skip(t);
        }
        uint8_t count = 0;
        if (!c.byte(count)) return -1;
        ch.p41_43_count = count;
        if (count <= ch.P41_43_SIZE()) {
            if (!read_codes(c, count, ch.p41_43, 0)) return -1;
        } else {
            c.skip(count);
        }
    }
    return checked_result(c);
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::parse41_44(const unsigned char* p, int length) {
    using namespace pmbus_poll;
    constexpr size_t kModules = std::extent<decltype(DataT::channels)>::value;
    PollCursor c(p, length);
    auto& d = this->cData;
    c.skip(2);  // DATAFLAG and the payload's own module count
    for (unsigned j = 0; j < d.channel_count; ++j) {
        auto scratch = d.channels[0];
        auto& ch = j < kModules ? d.channels[j] : scratch;
        uint8_t fault = 0;
        if (!c.byte(fault)) return -1;
        ch.fault = fault;
        size_t at = 0;
        if (has_tower) {
            uint8_t t = 0;
            if (!c.byte(t)) return -1;
            c.skip(t);
            at = t;
        }
        uint8_t count = 0;
        if (!c.byte(count)) return -1;
        ch.p41_44_count = count;
        if (count > 0 && count <= ch.P41_44_SIZE()) {
            if (!read_codes(c, count, ch.p41_44, at)) return -1;
        } else {
            c.skip(count);
        }
    }
    return checked_result(c);
}
