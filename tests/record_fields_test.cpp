// The record's field table against the packed record itself: every field at
// its member's offset with its member's size, every struct covered byte for
// byte, every array bounded by a count member of its own struct.

#include "record/record_fields.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using veltra::FieldType;
using veltra::Group;
using veltra::RecordField;

struct Member {
    Group group;
    const char* name;
    size_t offset;
    size_t bytes;
};

#define MEMBER(G, S, m) \
    Member { Group::G, #m, offsetof(S, m), sizeof(S::m) }

// Every member of every struct of the record, from the compiler.
const Member kMembers[] = {
    MEMBER(Record, veltra_record_t, data_id),
    MEMBER(Record, veltra_record_t, ac),
    MEMBER(Record, veltra_record_t, ac_channels),
    MEMBER(Record, veltra_record_t, out_v),
    MEMBER(Record, veltra_record_t, channel_count),
    MEMBER(Record, veltra_record_t, channels),
    MEMBER(Record, veltra_record_t, dc),
    MEMBER(Record, veltra_record_t, update_time),
    MEMBER(Record, veltra_record_t, dc2),
    MEMBER(Ac, veltra_ac_t, data_id),
    MEMBER(Ac, veltra_ac_t, ia),
    MEMBER(Ac, veltra_ac_t, ib),
    MEMBER(Ac, veltra_ac_t, ic),
    MEMBER(Ac, veltra_ac_t, channel_count),
    MEMBER(Ac, veltra_ac_t, airlock_count),
    MEMBER(Ac, veltra_ac_t, airlock_status),
    MEMBER(Ac, veltra_ac_t, p40_43_count),
    MEMBER(Ac, veltra_ac_t, p40_43),
    MEMBER(Ac, veltra_ac_t, ia_alert),
    MEMBER(Ac, veltra_ac_t, ib_alert),
    MEMBER(Ac, veltra_ac_t, ic_alert),
    MEMBER(Ac, veltra_ac_t, update_time),
    MEMBER(AcInput, veltra_ac_channel_t, a),
    MEMBER(AcInput, veltra_ac_channel_t, b),
    MEMBER(AcInput, veltra_ac_channel_t, c),
    MEMBER(AcInput, veltra_ac_channel_t, f),
    MEMBER(AcInput, veltra_ac_channel_t, p40_41_count),
    MEMBER(AcInput, veltra_ac_channel_t, p40_41),
    MEMBER(AcInput, veltra_ac_channel_t, alert_a),
    MEMBER(AcInput, veltra_ac_channel_t, alert_b),
    MEMBER(AcInput, veltra_ac_channel_t, alert_c),
    MEMBER(AcInput, veltra_ac_channel_t, alert_f),
    MEMBER(AcInput, veltra_ac_channel_t, p40_44_count),
    MEMBER(AcInput, veltra_ac_channel_t, p40_44),
    MEMBER(Rectifier, veltra_rc_channel_t, out_i),
    MEMBER(Rectifier, veltra_rc_channel_t, p41_41_count),
    MEMBER(Rectifier, veltra_rc_channel_t, p41_41),
    MEMBER(Rectifier, veltra_rc_channel_t, shutdown),
    MEMBER(Rectifier, veltra_rc_channel_t, i_limit),
    MEMBER(Rectifier, veltra_rc_channel_t, charge),
    MEMBER(Rectifier, veltra_rc_channel_t, p41_43_count),
    MEMBER(Rectifier, veltra_rc_channel_t, p41_43),
    MEMBER(Rectifier, veltra_rc_channel_t, fault),
    MEMBER(Rectifier, veltra_rc_channel_t, p41_44_count),
    MEMBER(Rectifier, veltra_rc_channel_t, p41_44),
    MEMBER(DcPanel, veltra_dc_t, data_id),
    MEMBER(DcPanel, veltra_dc_t, v),
    MEMBER(DcPanel, veltra_dc_t, i),
    MEMBER(DcPanel, veltra_dc_t, m),
    MEMBER(DcPanel, veltra_dc_t, dc_i),
    MEMBER(DcPanel, veltra_dc_t, n),
    MEMBER(DcPanel, veltra_dc_t, channel),
    MEMBER(DcPanel, veltra_dc_t, p_count),
    MEMBER(DcPanel, veltra_dc_t, p),
    MEMBER(DcPanel, veltra_dc_t, alert_v),
    MEMBER(DcPanel, veltra_dc_t, alert_m_count),
    MEMBER(DcPanel, veltra_dc_t, alert_m),
    MEMBER(DcPanel, veltra_dc_t, alert_p_count),
    MEMBER(DcPanel, veltra_dc_t, alert_p),
    MEMBER(DcPanel, veltra_dc_t, update_time),
};

#undef MEMBER

std::vector<const RecordField*> fields() {
    std::vector<const RecordField*> v;
    for (const RecordField* f = veltra::record_fields_begin(); f != veltra::record_fields_end();
         ++f)
        v.push_back(f);
    return v;
}

TEST(RecordFields, EveryMemberOnceAtItsOffsetWithItsSize) {
    for (const Member& m : kMembers) {
        const RecordField* f = veltra::find_field(m.group, m.name);
        ASSERT_NE(f, nullptr) << m.name << " is not in the table";
        EXPECT_EQ(f->offset, m.offset) << f->path;
        EXPECT_EQ(f->size * veltra::element_bytes(*f), m.bytes) << f->path;
    }
    EXPECT_EQ(fields().size(), sizeof kMembers / sizeof kMembers[0])
        << "a field of the table is no member of the record";
}

TEST(RecordFields, EveryStructCoveredByteForByte) {
    std::map<Group, std::vector<int>> covered;
    for (const RecordField* f : fields()) {
        auto& bytes = covered[f->group];
        bytes.resize(veltra::group_bytes(f->group));
        for (size_t b = 0; b < f->size * veltra::element_bytes(*f); ++b) ++bytes[f->offset + b];
    }
    for (const auto& kv : covered)
        for (size_t b = 0; b < kv.second.size(); ++b)
            EXPECT_EQ(kv.second[b], 1) << "group " << static_cast<int>(kv.first) << " byte " << b;
}

TEST(RecordFields, EveryArrayBoundedByACountOfItsStruct) {
    for (const RecordField* f : fields()) {
        if (!veltra::is_array(*f)) continue;
        if (f->count == nullptr) {
            // Only the two AC inputs: both are always rendered.
            EXPECT_STREQ(f->path, "ac_channels");
            continue;
        }
        const RecordField* c = veltra::find_field(f->group, f->count);
        ASSERT_NE(c, nullptr) << f->path << " is bounded by a missing " << f->count;
        EXPECT_EQ(c->type, FieldType::U8) << f->path;
        EXPECT_LT(c->offset, f->offset) << f->path << ": the count comes first";
    }
}

TEST(RecordFields, ArraysAreCutToTheirCountAndNeverBeyondTheirLength) {
    veltra_record_t r;
    std::memset(&r, 0, sizeof r);
    const auto* base = reinterpret_cast<const unsigned char*>(&r.dc);
    const RecordField* fuses = veltra::find_field(Group::DcPanel, "alert_m");
    ASSERT_NE(fuses, nullptr);
    r.dc.alert_m_count = 3;
    EXPECT_EQ(veltra::valid_entries(*fuses, base), 3u);
    r.dc.alert_m_count = 255;
    EXPECT_EQ(veltra::valid_entries(*fuses, base), 10u);

    r.dc.alert_m[0] = 1;
    r.dc.alert_m[4] = 2;
    r.dc.alert_m_count = 4;
    EXPECT_EQ(veltra::blown_fuses(r.dc), 1u) << "a code past the count is no fuse";
    EXPECT_EQ(veltra::reported_fuses(r.dc), 4u);

    EXPECT_FALSE(veltra::has_second_panel(r));
    r.dc2.alert_m_count = 2;
    EXPECT_TRUE(veltra::has_second_panel(r));
}

TEST(RecordFields, EverySampleReadsAFieldItCanRead) {
    size_t samples = 0;
    for (const RecordField* f : fields()) {
        if (!f->metric) continue;
        ++samples;
        ASSERT_NE(f->metric->field, nullptr) << f->path;
        ASSERT_NE(f->metric->metric, nullptr) << f->path;
        switch (f->metric->reading) {
            case veltra::Reading::Value:
                EXPECT_FALSE(veltra::is_array(*f)) << f->path;
                EXPECT_NE(f->type, FieldType::Struct) << f->path;
                EXPECT_NE(f->type, FieldType::Time) << f->path;
                break;
            case veltra::Reading::Entries: {
                // A count: `of` must name the array it reports, or the
                // sample is silently lost.
                ASSERT_NE(f->metric->of, nullptr) << f->path;
                const RecordField* of = veltra::find_path(f->metric->of);
                ASSERT_NE(of, nullptr) << f->path << " counts a missing " << f->metric->of;
                EXPECT_TRUE(veltra::is_array(*of)) << f->path;
                EXPECT_EQ(f->type, FieldType::U8) << f->path;
                if (of->count) {
                    EXPECT_EQ(of->group, f->group) << f->path;
                    EXPECT_STREQ(of->count, veltra::field_name(*f)) << f->path;
                }
                break;
            }
            case veltra::Reading::NonZero:
                EXPECT_TRUE(veltra::is_array(*f) && f->count) << f->path;
                EXPECT_EQ(f->type, FieldType::U8) << f->path;
                break;
        }
    }
    EXPECT_EQ(samples, 2u + 7 + 8 + 5 + 5);
}

TEST(RecordFields, ReportedSectionsFollowTheirCounts) {
    veltra_record_t r;
    std::memset(&r, 0, sizeof r);
    r.channel_count = 3;
    r.ac.channel_count = 1;
    EXPECT_EQ(veltra::reported_modules(r), 3u);
    EXPECT_EQ(veltra::reported_ac_inputs(r), 1u);
    r.channel_count = 200;
    r.ac.channel_count = 9;
    EXPECT_EQ(veltra::reported_modules(r), 40u);
    EXPECT_EQ(veltra::reported_ac_inputs(r), 2u);

    // The walk names each value by its path and marks what lies beyond a count.
    r.ac.channel_count = 1;
    r.dc2.m = 1;
    std::map<std::string, bool> reported, dumped;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&r);
    veltra::for_each_value(bytes, veltra::Sections::AsReported, [&](const veltra::RecordValue& v) {
        reported[veltra::value_path(v)] = v.valid;
    });
    veltra::for_each_value(bytes, veltra::Sections::AsDumped, [&](const veltra::RecordValue& v) {
        dumped[veltra::value_path(v)] = v.valid;
    });
    EXPECT_TRUE(reported.at("out_v"));
    EXPECT_TRUE(reported.at("ac_channels[0].f"));
    EXPECT_FALSE(reported.at("ac_channels[1].f"));
    EXPECT_TRUE(dumped.at("ac_channels[1].f")) << "the dump keeps both AC inputs";
    EXPECT_TRUE(reported.at("channels[39].p41_43[5]") == false);
    EXPECT_TRUE(reported.at("dc2.dc_i[0]"));
    EXPECT_FALSE(reported.at("dc2.dc_i[1]"));
    EXPECT_EQ(reported.count("ac_channels[0].p40_41[0]"), 0u) << "an empty array has no values";
    EXPECT_EQ(reported.size(), dumped.size());
}

}  // namespace
