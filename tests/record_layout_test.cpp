// Byte layout of the persisted device record: each field written through the struct must land
// at its fixed byte offset, little-endian, and nowhere else.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "record/veltra_record.h"

namespace {

using Rec = veltra_quelm_k418t_419_Data_t;

enum class Kind { U8, U16, U32, F32 };

// Distinct patterns per width, so a field written at the wrong width or place shows up.
constexpr uint8_t kU8 = 0xA5;
constexpr uint16_t kU16 = 0xB1C2;
constexpr uint32_t kU32 = 0x04030201;
constexpr uint32_t kF32Bits = 0x41424344;

float pattern_float() {
    float f;
    std::memcpy(&f, &kF32Bits, sizeof f);
    return f;
}

std::vector<uint8_t> expected_bytes(Kind k) {
    switch (k) {
        case Kind::U8:
            return {0xA5};
        case Kind::U16:
            return {0xC2, 0xB1};
        case Kind::U32:
            return {0x01, 0x02, 0x03, 0x04};
        case Kind::F32:
            return {0x44, 0x43, 0x42, 0x41};
    }
    return {};
}

struct FieldCase {
    const char* name;
    size_t offset;
    Kind kind;
    void (*write)(Rec&);
};

#define U8(field) [](Rec& r) { r.field = kU8; }
#define U16(field) [](Rec& r) { r.field = kU16; }
#define U32(field) [](Rec& r) { r.field = kU32; }
#define F32(field) [](Rec& r) { r.field = pattern_float(); }

const FieldCase kFields[] = {
    {"data_id", 0, Kind::U32, U32(data_id)},
    {"ac.data_id", 4, Kind::U32, U32(ac.data_id)},
    {"ac.ia", 8, Kind::F32, F32(ac.ia)},
    {"ac.ib", 12, Kind::F32, F32(ac.ib)},
    {"ac.ic", 16, Kind::F32, F32(ac.ic)},
    {"ac.channel_count", 20, Kind::U8, U8(ac.channel_count)},
    {"ac.airlock_count", 21, Kind::U8, U8(ac.airlock_count)},
    {"ac.p40_43_count", 22, Kind::U8, U8(ac.p40_43_count)},
    {"ac.p40_43[0]", 23, Kind::U8, U8(ac.p40_43[0])},
    {"ac.p40_43[2]", 25, Kind::U8, U8(ac.p40_43[2])},
    {"ac.ia_alert", 26, Kind::U8, U8(ac.ia_alert)},
    {"ac.ib_alert", 27, Kind::U8, U8(ac.ib_alert)},
    {"ac.ic_alert", 28, Kind::U8, U8(ac.ic_alert)},
    {"ac.update_time.year", 29, Kind::U16, U16(ac.update_time.year)},
    {"ac.update_time.second", 35, Kind::U8, U8(ac.update_time.second)},
    {"ac_channels[0].a", 36, Kind::F32, F32(ac_channels[0].a)},
    {"ac_channels[0].b", 40, Kind::F32, F32(ac_channels[0].b)},
    {"ac_channels[0].c", 44, Kind::F32, F32(ac_channels[0].c)},
    {"ac_channels[0].f", 48, Kind::F32, F32(ac_channels[0].f)},
    {"ac_channels[0].p40_41_count", 52, Kind::U8, U8(ac_channels[0].p40_41_count)},
    {"ac_channels[0].alert_a", 53, Kind::U8, U8(ac_channels[0].alert_a)},
    {"ac_channels[0].alert_b", 54, Kind::U8, U8(ac_channels[0].alert_b)},
    {"ac_channels[0].alert_c", 55, Kind::U8, U8(ac_channels[0].alert_c)},
    {"ac_channels[0].alert_f", 56, Kind::U8, U8(ac_channels[0].alert_f)},
    {"ac_channels[0].p40_44_count", 57, Kind::U8, U8(ac_channels[0].p40_44_count)},
    {"ac_channels[0].p40_44[0]", 58, Kind::U8, U8(ac_channels[0].p40_44[0])},
    {"ac_channels[0].p40_44[7]", 65, Kind::U8, U8(ac_channels[0].p40_44[7])},
    {"ac_channels[1].a", 66, Kind::F32, F32(ac_channels[1].a)},
    {"ac_channels[1].b", 70, Kind::F32, F32(ac_channels[1].b)},
    {"ac_channels[1].c", 74, Kind::F32, F32(ac_channels[1].c)},
    {"ac_channels[1].f", 78, Kind::F32, F32(ac_channels[1].f)},
    {"ac_channels[1].alert_f", 86, Kind::U8, U8(ac_channels[1].alert_f)},
    {"ac_channels[1].p40_44[7]", 95, Kind::U8, U8(ac_channels[1].p40_44[7])},
    {"out_v", 96, Kind::F32, F32(out_v)},
    {"channel_count", 100, Kind::U8, U8(channel_count)},
    {"channels[0].out_i", 101, Kind::F32, F32(channels[0].out_i)},
    {"channels[0].p41_41_count", 105, Kind::U8, U8(channels[0].p41_41_count)},
    {"channels[0].p41_41[0]", 106, Kind::F32, F32(channels[0].p41_41[0])},
    {"channels[0].p41_41[6]", 130, Kind::F32, F32(channels[0].p41_41[6])},
    {"channels[0].shutdown", 134, Kind::U8, U8(channels[0].shutdown)},
    {"channels[0].i_limit", 135, Kind::U8, U8(channels[0].i_limit)},
    {"channels[0].charge", 136, Kind::U8, U8(channels[0].charge)},
    {"channels[0].p41_43_count", 137, Kind::U8, U8(channels[0].p41_43_count)},
    {"channels[0].p41_43[0]", 138, Kind::U8, U8(channels[0].p41_43[0])},
    {"channels[0].p41_43[5]", 143, Kind::U8, U8(channels[0].p41_43[5])},
    {"channels[0].fault", 144, Kind::U8, U8(channels[0].fault)},
    {"channels[0].p41_44_count", 145, Kind::U8, U8(channels[0].p41_44_count)},
    {"channels[0].p41_44[0]", 146, Kind::U8, U8(channels[0].p41_44[0])},
    {"channels[0].p41_44[7]", 153, Kind::U8, U8(channels[0].p41_44[7])},
    {"channels[1].out_i", 154, Kind::F32, F32(channels[1].out_i)},
    {"channels[17].fault", 101 + 53 * 17 + 43, Kind::U8, U8(channels[17].fault)},
    {"channels[39].out_i", 101 + 53 * 39, Kind::F32, F32(channels[39].out_i)},
    {"channels[39].p41_44[7]", 2220, Kind::U8, U8(channels[39].p41_44[7])},
    {"dc.data_id", 2221, Kind::U32, U32(dc.data_id)},
    {"dc.v", 2225, Kind::F32, F32(dc.v)},
    {"dc.i", 2229, Kind::F32, F32(dc.i)},
    {"dc.m", 2233, Kind::U8, U8(dc.m)},
    {"dc.dc_i[0]", 2234, Kind::F32, F32(dc.dc_i[0])},
    {"dc.dc_i[1]", 2238, Kind::F32, F32(dc.dc_i[1])},
    {"dc.n", 2242, Kind::U8, U8(dc.n)},
    {"dc.p_count", 2243, Kind::U8, U8(dc.p_count)},
    {"dc.p[0]", 2244, Kind::F32, F32(dc.p[0])},
    {"dc.p[26]", 2348, Kind::F32, F32(dc.p[26])},
    {"dc.alert_v", 2352, Kind::U8, U8(dc.alert_v)},
    {"dc.alert_m_count", 2353, Kind::U8, U8(dc.alert_m_count)},
    {"dc.alert_m[0]", 2354, Kind::U8, U8(dc.alert_m[0])},
    {"dc.alert_m[9]", 2363, Kind::U8, U8(dc.alert_m[9])},
    {"dc.alert_p_count", 2364, Kind::U8, U8(dc.alert_p_count)},
    {"dc.alert_p[0]", 2365, Kind::U8, U8(dc.alert_p[0])},
    {"dc.alert_p[86]", 2451, Kind::U8, U8(dc.alert_p[86])},
    {"dc.update_time.year", 2452, Kind::U16, U16(dc.update_time.year)},
    {"dc.update_time.second", 2458, Kind::U8, U8(dc.update_time.second)},
    {"update_time.year", 2459, Kind::U16, U16(update_time.year)},
    {"update_time.month", 2461, Kind::U8, U8(update_time.month)},
    {"update_time.day", 2462, Kind::U8, U8(update_time.day)},
    {"update_time.hour", 2463, Kind::U8, U8(update_time.hour)},
    {"update_time.minute", 2464, Kind::U8, U8(update_time.minute)},
    {"update_time.second", 2465, Kind::U8, U8(update_time.second)},
    {"dc2.data_id", 2466, Kind::U32, U32(dc2.data_id)},
    {"dc2.v", 2470, Kind::F32, F32(dc2.v)},
    {"dc2.i", 2474, Kind::F32, F32(dc2.i)},
    {"dc2.m", 2478, Kind::U8, U8(dc2.m)},
    {"dc2.p_count", 2488, Kind::U8, U8(dc2.p_count)},
    {"dc2.alert_v", 2597, Kind::U8, U8(dc2.alert_v)},
    {"dc2.alert_m_count", 2598, Kind::U8, U8(dc2.alert_m_count)},
    {"dc2.alert_p_count", 2609, Kind::U8, U8(dc2.alert_p_count)},
    {"dc2.alert_p[86]", 2696, Kind::U8, U8(dc2.alert_p[86])},
    {"dc2.update_time.year", 2697, Kind::U16, U16(dc2.update_time.year)},
    {"dc2.update_time.second", 2703, Kind::U8, U8(dc2.update_time.second)},
};

#undef U8
#undef U16
#undef U32
#undef F32

std::vector<uint8_t> bytes_of(const Rec& r) {
    std::vector<uint8_t> b(sizeof r);
    std::memcpy(b.data(), &r, sizeof r);
    return b;
}

TEST(RecordLayout, FieldsLandAtTheirByteOffsets) {
    for (const FieldCase& fc : kFields) {
        SCOPED_TRACE(fc.name);
        Rec r;
        std::memset(&r, 0, sizeof r);
        fc.write(r);
        const std::vector<uint8_t> bytes = bytes_of(r);
        const std::vector<uint8_t> want = expected_bytes(fc.kind);
        ASSERT_LE(fc.offset + want.size(), bytes.size());
        for (size_t k = 0; k < bytes.size(); ++k) {
            const bool inside = k >= fc.offset && k < fc.offset + want.size();
            const uint8_t expected = inside ? want[k - fc.offset] : 0;
            ASSERT_EQ(expected, bytes[k]) << "byte " << k;
        }
    }
}

TEST(RecordLayout, SectionAndRecordSizes) {
    EXPECT_EQ(7u, sizeof(ttime));
    EXPECT_EQ(32u, sizeof(veltra_ac_t));
    EXPECT_EQ(30u, sizeof(veltra_ac_channel_t));
    EXPECT_EQ(53u, sizeof(veltra_rc_channel_t));
    EXPECT_EQ(238u, sizeof(veltra_dc_t));
    EXPECT_EQ(2704u, sizeof(Rec));
    EXPECT_EQ(kRecordSize, sizeof(Rec));
    EXPECT_EQ(2u, kAcChannels);
    EXPECT_EQ(40u, kRcChannels);
    EXPECT_TRUE(std::is_trivially_copyable<Rec>::value);
}

TEST(RecordLayout, EmptyArraysTakeNoBytes) {
    EXPECT_EQ(0u, sizeof(veltra_ac_t::airlock_status));
    EXPECT_EQ(0u, sizeof(veltra_ac_channel_t::p40_41));
    EXPECT_EQ(0u, sizeof(veltra_dc_t::channel));
}

struct SizeCase {
    const char* name;
    size_t got;
    size_t want;
};

TEST(RecordLayout, StaticSizeOperations) {
    const SizeCase cases[] = {
        {"AIRLOCK_MAX", veltra_ac_t::AIRLOCK_MAX(), 0},
        {"P40_43_SIZE", veltra_ac_t::P40_43_SIZE(), 3},
        {"P40_41_SIZE", veltra_ac_channel_t::P40_41_SIZE(), 0},
        {"p40_44_SIZE", veltra_ac_channel_t::p40_44_SIZE(), 8},
        {"P41_41_SIZE", veltra_rc_channel_t::P41_41_SIZE(), 7},
        {"P41_43_SIZE", veltra_rc_channel_t::P41_43_SIZE(), 6},
        {"P41_44_SIZE", veltra_rc_channel_t::P41_44_SIZE(), 8},
        {"M_SIZE", veltra_dc_t::M_SIZE(), 2},
        {"N_SIZE", veltra_dc_t::N_SIZE(), 0},
        {"P_SIZE", veltra_dc_t::P_SIZE(), 27},
        {"ALERT_M_SIZE", veltra_dc_t::ALERT_M_SIZE(), 10},
        {"ALERT_P_SIZE", veltra_dc_t::ALERT_P_SIZE(), 87},
    };
    for (const SizeCase& c : cases) {
        EXPECT_EQ(c.want, c.got) << c.name;
    }
}

TEST(RecordLayout, DcVoltageReadsFromUnalignedBytes) {
    std::vector<uint8_t> raw(kRecordSize + 1, 0);
    uint8_t* base = raw.data() + 1;  // shift the whole record to an odd address as well
    store_le_f32(base + 2225, -53.5f);
    EXPECT_EQ(0x00, base[2225]);
    EXPECT_EQ(0x00, base[2226]);
    EXPECT_EQ(0x56, base[2227]);
    EXPECT_EQ(0xC2, base[2228]);
    EXPECT_EQ(-53.5f, load_le_f32(base + 2225));

    Rec r;
    std::memcpy(&r, base, sizeof r);
    // Copied out first: gtest binds references, and a reference into the packed record would
    // itself be misaligned.
    const float v = r.dc.v;
    const float i = r.dc.i;
    const uint32_t id = r.dc.data_id;
    EXPECT_EQ(-53.5f, v);
    EXPECT_EQ(0.0f, i);
    EXPECT_EQ(0u, id);
}

TEST(RecordLayout, LittleEndianHelpersAtOddOffsets) {
    uint8_t buf[9] = {};
    store_le_u32(buf + 1, 0xDEADBEEF);
    EXPECT_EQ(0xEF, buf[1]);
    EXPECT_EQ(0xDE, buf[4]);
    EXPECT_EQ(0xDEADBEEFu, load_le_u32(buf + 1));
    store_le_u16(buf + 5, 2026);
    EXPECT_EQ(0xEA, buf[5]);
    EXPECT_EQ(0x07, buf[6]);
    EXPECT_EQ(2026u, load_le_u16(buf + 5));
    EXPECT_EQ(0, buf[0]);
    EXPECT_EQ(0, buf[7]);
}

TEST(RecordLayout, RecordFieldsMatchHelpersOnRawBytes) {
    Rec r;
    std::memset(&r, 0, sizeof r);
    r.dc2.i = 1234.5f;
    r.ac_channels[1].f = 50.0f;
    r.update_time.year = 2026;
    const std::vector<uint8_t> b = bytes_of(r);
    EXPECT_EQ(1234.5f, load_le_f32(b.data() + 2474));
    EXPECT_EQ(50.0f, load_le_f32(b.data() + 78));
    EXPECT_EQ(2026u, load_le_u16(b.data() + 2459));
}

}  // namespace
