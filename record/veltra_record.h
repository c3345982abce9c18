#pragma once
// The packed device data record: one complete picture of the power system (AC distribution,
// 40 rectifier modules, two DC panels). Its bytes are published, stored in the host's history
// and read back from the cache, so the layout below is a persisted format.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "host/ttime.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "record bytes are little-endian; the record is used as native memory");
static_assert(sizeof(float) == 4, "record floats are IEEE-754 single precision");

// Arrays of size 0 occupy no bytes (GNU zero-length arrays); their count fields still exist.
#pragma pack(push, 1)

// AC distribution summary.
template <size_t AirlockMax, size_t P40_43Size>
struct tele_c_pmbuspower_ac {
    static constexpr size_t AIRLOCK_MAX() { return AirlockMax; }
    static constexpr size_t P40_43_SIZE() { return P40_43Size; }

    uint32_t data_id;
    float ia;
    float ib;
    float ic;
    uint8_t channel_count;
    uint8_t airlock_count;
    uint8_t airlock_status[AirlockMax];
    uint8_t p40_43_count;
    uint8_t p40_43[P40_43Size];
    uint8_t ia_alert;
    uint8_t ib_alert;
    uint8_t ic_alert;
    ttime update_time;
};

// One AC input.
template <size_t P40_41Size, size_t P40_44Size>
struct tele_c_pmbuspower_ac_channel {
    static constexpr size_t P40_41_SIZE() { return P40_41Size; }
    static constexpr size_t p40_44_SIZE() { return P40_44Size; }

    float a;
    float b;
    float c;
    float f;
    uint8_t p40_41_count;
    float p40_41[P40_41Size];
    uint8_t alert_a;
    uint8_t alert_b;
    uint8_t alert_c;
    uint8_t alert_f;
    uint8_t p40_44_count;
    uint8_t p40_44[P40_44Size];
};

// One rectifier module.
template <size_t P41_41Size, size_t P41_43Size, size_t P41_44Size>
struct tele_c_pmbuspower_rc_channel {
    static constexpr size_t P41_41_SIZE() { return P41_41Size; }
    static constexpr size_t P41_43_SIZE() { return P41_43Size; }
    static constexpr size_t P41_44_SIZE() { return P41_44Size; }

    float out_i;
    uint8_t p41_41_count;
    float p41_41[P41_41Size];
    uint8_t shutdown;
    uint8_t i_limit;
    uint8_t charge;
    uint8_t p41_43_count;
    uint8_t p41_43[P41_43Size];
    uint8_t fault;
    uint8_t p41_44_count;
    uint8_t p41_44[P41_44Size];
};

// One DC distribution panel.
template <size_t MSize, size_t NSize, size_t PSize, size_t AlertMSize, size_t AlertPSize>
struct tele_c_pmbuspower_dc {
    static constexpr size_t M_SIZE() { return MSize; }
    static constexpr size_t N_SIZE() { return NSize; }
    static constexpr size_t P_SIZE() { return PSize; }
    static constexpr size_t ALERT_M_SIZE() { return AlertMSize; }
    static constexpr size_t ALERT_P_SIZE() { return AlertPSize; }

    uint32_t data_id;
    float v;
    float i;
    uint8_t m;
    float dc_i[MSize];
    uint8_t n;
    float channel[NSize];
    uint8_t p_count;
    float p[PSize];
    uint8_t alert_v;
    uint8_t alert_m_count;
    uint8_t alert_m[AlertMSize];
    uint8_t alert_p_count;
    uint8_t alert_p[AlertPSize];
    ttime update_time;
};

using veltra_ac_t = tele_c_pmbuspower_ac<0, 3>;
using veltra_ac_channel_t = tele_c_pmbuspower_ac_channel<0, 8>;
using veltra_rc_channel_t = tele_c_pmbuspower_rc_channel<7, 6, 8>;
using veltra_dc_t = tele_c_pmbuspower_dc<2, 0, 27, 10, 87>;

constexpr size_t kAcChannels = 2;
constexpr size_t kRcChannels = 40;
constexpr size_t kRecordSize = 2704;

struct veltra_quelm_k418t_419_Data_t {
    uint32_t data_id;
    veltra_ac_t ac;
    veltra_ac_channel_t ac_channels[kAcChannels];
    float out_v;
    uint8_t channel_count;
    veltra_rc_channel_t channels[kRcChannels];
    veltra_dc_t dc;
    ttime update_time;
    veltra_dc_t dc2;
};

#pragma pack(pop)

using veltra_record_t = veltra_quelm_k418t_419_Data_t;

// Little-endian loads and stores at any byte offset, for code that works on the raw record bytes.
inline uint16_t load_le_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline uint32_t load_le_u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline float load_le_f32(const uint8_t* p) {
    const uint32_t bits = load_le_u32(p);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

inline void store_le_u16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void store_le_u32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline void store_le_f32(uint8_t* p, float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    store_le_u32(p, bits);
}

// ---- Layout pins -----------------------------------------------------------------------------

static_assert(std::is_trivially_copyable<veltra_quelm_k418t_419_Data_t>::value,
              "the record travels as raw bytes");
static_assert(std::is_standard_layout<veltra_quelm_k418t_419_Data_t>::value,
              "the record travels as raw bytes");

static_assert(sizeof(veltra_ac_t) == 32, "AC section size");
static_assert(offsetof(veltra_ac_t, data_id) == 0, "ac.data_id");
static_assert(offsetof(veltra_ac_t, ia) == 4, "ac.ia");
static_assert(offsetof(veltra_ac_t, ib) == 8, "ac.ib");
static_assert(offsetof(veltra_ac_t, ic) == 12, "ac.ic");
static_assert(offsetof(veltra_ac_t, channel_count) == 16, "ac.channel_count");
static_assert(offsetof(veltra_ac_t, airlock_count) == 17, "ac.airlock_count");
static_assert(offsetof(veltra_ac_t, airlock_status) == 18, "ac.airlock_status");
static_assert(sizeof(veltra_ac_t::airlock_status) == 0, "ac.airlock_status is empty");
static_assert(offsetof(veltra_ac_t, p40_43_count) == 18, "ac.p40_43_count");
static_assert(offsetof(veltra_ac_t, p40_43) == 19, "ac.p40_43");
static_assert(offsetof(veltra_ac_t, ia_alert) == 22, "ac.ia_alert");
static_assert(offsetof(veltra_ac_t, ib_alert) == 23, "ac.ib_alert");
static_assert(offsetof(veltra_ac_t, ic_alert) == 24, "ac.ic_alert");
static_assert(offsetof(veltra_ac_t, update_time) == 25, "ac.update_time");

static_assert(sizeof(veltra_ac_channel_t) == 30, "AC channel size");
static_assert(offsetof(veltra_ac_channel_t, a) == 0, "a");
static_assert(offsetof(veltra_ac_channel_t, b) == 4, "b");
static_assert(offsetof(veltra_ac_channel_t, c) == 8, "c");
static_assert(offsetof(veltra_ac_channel_t, f) == 12, "f");
static_assert(offsetof(veltra_ac_channel_t, p40_41_count) == 16, "p40_41_count");
static_assert(offsetof(veltra_ac_channel_t, p40_41) == 17, "p40_41");
static_assert(sizeof(veltra_ac_channel_t::p40_41) == 0, "p40_41 is empty");
static_assert(offsetof(veltra_ac_channel_t, alert_a) == 17, "alert_a");
static_assert(offsetof(veltra_ac_channel_t, alert_b) == 18, "alert_b");
static_assert(offsetof(veltra_ac_channel_t, alert_c) == 19, "alert_c");
static_assert(offsetof(veltra_ac_channel_t, alert_f) == 20, "alert_f");
static_assert(offsetof(veltra_ac_channel_t, p40_44_count) == 21, "p40_44_count");
static_assert(offsetof(veltra_ac_channel_t, p40_44) == 22, "p40_44");

static_assert(sizeof(veltra_rc_channel_t) == 53, "rectifier channel size");
static_assert(offsetof(veltra_rc_channel_t, out_i) == 0, "out_i");
static_assert(offsetof(veltra_rc_channel_t, p41_41_count) == 4, "p41_41_count");
static_assert(offsetof(veltra_rc_channel_t, p41_41) == 5, "p41_41");
static_assert(offsetof(veltra_rc_channel_t, shutdown) == 33, "shutdown");
static_assert(offsetof(veltra_rc_channel_t, i_limit) == 34, "i_limit");
static_assert(offsetof(veltra_rc_channel_t, charge) == 35, "charge");
static_assert(offsetof(veltra_rc_channel_t, p41_43_count) == 36, "p41_43_count");
static_assert(offsetof(veltra_rc_channel_t, p41_43) == 37, "p41_43");
static_assert(offsetof(veltra_rc_channel_t, fault) == 43, "fault");
static_assert(offsetof(veltra_rc_channel_t, p41_44_count) == 44, "p41_44_count");
static_assert(offsetof(veltra_rc_channel_t, p41_44) == 45, "p41_44");

static_assert(sizeof(veltra_dc_t) == 238, "DC section size");
static_assert(offsetof(veltra_dc_t, data_id) == 0, "dc.data_id");
static_assert(offsetof(veltra_dc_t, v) == 4, "dc.v");
static_assert(offsetof(veltra_dc_t, i) == 8, "dc.i");
static_assert(offsetof(veltra_dc_t, m) == 12, "dc.m");
static_assert(offsetof(veltra_dc_t, dc_i) == 13, "dc.dc_i");
static_assert(offsetof(veltra_dc_t, n) == 21, "dc.n");
static_assert(offsetof(veltra_dc_t, channel) == 22, "dc.channel");
static_assert(sizeof(veltra_dc_t::channel) == 0, "dc.channel is empty");
static_assert(offsetof(veltra_dc_t, p_count) == 22, "dc.p_count");
static_assert(offsetof(veltra_dc_t, p) == 23, "dc.p");
static_assert(offsetof(veltra_dc_t, alert_v) == 131, "dc.alert_v");
static_assert(offsetof(veltra_dc_t, alert_m_count) == 132, "dc.alert_m_count");
static_assert(offsetof(veltra_dc_t, alert_m) == 133, "dc.alert_m");
static_assert(offsetof(veltra_dc_t, alert_p_count) == 143, "dc.alert_p_count");
static_assert(offsetof(veltra_dc_t, alert_p) == 144, "dc.alert_p");
static_assert(offsetof(veltra_dc_t, update_time) == 231, "dc.update_time");

static_assert(sizeof(veltra_record_t) == kRecordSize, "record size");
static_assert(offsetof(veltra_record_t, data_id) == 0, "data_id");
static_assert(offsetof(veltra_record_t, ac) == 4, "ac");
static_assert(offsetof(veltra_record_t, ac_channels) == 36, "ac_channels");
static_assert(offsetof(veltra_record_t, out_v) == 96, "out_v");
static_assert(offsetof(veltra_record_t, channel_count) == 100, "channel_count");
static_assert(offsetof(veltra_record_t, channels) == 101, "channels");
static_assert(offsetof(veltra_record_t, dc) == 2221, "dc");
static_assert(offsetof(veltra_record_t, update_time) == 2459, "update_time");
static_assert(offsetof(veltra_record_t, dc2) == 2466, "dc2");

// Absolute offsets that value lookup and the alarm rules read.
static_assert(offsetof(veltra_record_t, ac_channels) + offsetof(veltra_ac_channel_t, a) == 36, "");
static_assert(offsetof(veltra_record_t, ac_channels) + offsetof(veltra_ac_channel_t, b) == 40, "");
static_assert(offsetof(veltra_record_t, ac_channels) + offsetof(veltra_ac_channel_t, c) == 44, "");
static_assert(offsetof(veltra_record_t, ac_channels) + offsetof(veltra_ac_channel_t, f) == 48, "");
static_assert(offsetof(veltra_record_t, ac_channels) + sizeof(veltra_ac_channel_t) +
                      offsetof(veltra_ac_channel_t, a) ==
                  66,
              "");
static_assert(offsetof(veltra_record_t, ac_channels) + sizeof(veltra_ac_channel_t) +
                      offsetof(veltra_ac_channel_t, b) ==
                  70,
              "");
static_assert(offsetof(veltra_record_t, ac_channels) + sizeof(veltra_ac_channel_t) +
                      offsetof(veltra_ac_channel_t, c) ==
                  74,
              "");
static_assert(offsetof(veltra_record_t, ac_channels) + sizeof(veltra_ac_channel_t) +
                      offsetof(veltra_ac_channel_t, f) ==
                  78,
              "");
static_assert(offsetof(veltra_record_t, channels) + 39 * sizeof(veltra_rc_channel_t) ==
                  101 + 53 * 39,
              "");
static_assert(offsetof(veltra_record_t, dc) + offsetof(veltra_dc_t, v) == 2225, "dc.v");
static_assert(offsetof(veltra_record_t, dc) + offsetof(veltra_dc_t, i) == 2229, "dc.i");
static_assert(offsetof(veltra_record_t, dc) + offsetof(veltra_dc_t, alert_m_count) == 2353,
              "dc.alert_m_count");
static_assert(offsetof(veltra_record_t, dc2) + offsetof(veltra_dc_t, v) == 2470, "dc2.v");
static_assert(offsetof(veltra_record_t, dc2) + offsetof(veltra_dc_t, i) == 2474, "dc2.i");
static_assert(offsetof(veltra_record_t, dc2) + offsetof(veltra_dc_t, alert_m_count) == 2598,
              "dc2.alert_m_count");

static_assert(veltra_ac_t::AIRLOCK_MAX() == 0 && veltra_ac_t::P40_43_SIZE() == 3, "");
static_assert(veltra_ac_channel_t::P40_41_SIZE() == 0 && veltra_ac_channel_t::p40_44_SIZE() == 8,
              "");
static_assert(veltra_rc_channel_t::P41_41_SIZE() == 7 && veltra_rc_channel_t::P41_43_SIZE() == 6 &&
                  veltra_rc_channel_t::P41_44_SIZE() == 8,
              "");
static_assert(veltra_dc_t::M_SIZE() == 2 && veltra_dc_t::N_SIZE() == 0 &&
                  veltra_dc_t::P_SIZE() == 27 && veltra_dc_t::ALERT_M_SIZE() == 10 &&
                  veltra_dc_t::ALERT_P_SIZE() == 87,
              "");
