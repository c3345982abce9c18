// JSON rendering of the device record: nesting, arrays cut to their counts, safe numbers.

#include "record/record_json.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <cstring>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using Rec = veltra_quelm_k418t_419_Data_t;

Rec zero_record() {
    Rec r;
    std::memset(&r, 0, sizeof r);
    return r;
}

std::set<std::string> member_names(const Json::Value& v) {
    const std::vector<std::string> names = v.getMemberNames();
    return std::set<std::string>(names.begin(), names.end());
}

TEST(RecordJson, ZeroRecordShape) {
    const Json::Value j = record_to_json(zero_record());
    ASSERT_TRUE(j.isObject());
    EXPECT_EQ((std::set<std::string>{"data_id", "ac", "ac_channels", "out_v", "channel_count",
                                     "channels", "dc", "update_time", "dc2"}),
              member_names(j));
    EXPECT_EQ((std::set<std::string>{"data_id", "ia", "ib", "ic", "channel_count", "airlock_count",
                                     "airlock_status", "p40_43_count", "p40_43", "ia_alert",
                                     "ib_alert", "ic_alert", "update_time"}),
              member_names(j["ac"]));
    EXPECT_EQ((std::set<std::string>{"year", "month", "day", "hour", "minute", "second"}),
              member_names(j["update_time"]));

    // Both AC inputs and both DC panels are always there; the module list follows its count.
    ASSERT_TRUE(j["ac_channels"].isArray());
    ASSERT_EQ(2u, j["ac_channels"].size());
    EXPECT_EQ((std::set<std::string>{"a", "b", "c", "f", "p40_41_count", "p40_41", "alert_a",
                                     "alert_b", "alert_c", "alert_f", "p40_44_count", "p40_44"}),
              member_names(j["ac_channels"][1]));
    for (const char* panel : {"dc", "dc2"}) {
        EXPECT_EQ((std::set<std::string>{"data_id", "v", "i", "m", "dc_i", "n", "channel",
                                         "p_count", "p", "alert_v", "alert_m_count", "alert_m",
                                         "alert_p_count", "alert_p", "update_time"}),
                  member_names(j[panel]))
            << panel;
        EXPECT_TRUE(j[panel]["p"].isArray());
        EXPECT_EQ(0u, j[panel]["p"].size());
    }
    ASSERT_TRUE(j["channels"].isArray());
    EXPECT_EQ(0u, j["channels"].size());
    EXPECT_EQ(0u, j["ac"]["p40_43"].size());
}

TEST(RecordJson, CountsBoundTheArrays) {
    Rec r = zero_record();
    r.channel_count = 3;
    r.channels[1].out_i = 12.5f;
    r.channels[1].p41_41_count = 2;
    r.channels[1].p41_41[0] = 1.5f;
    r.channels[1].p41_41[1] = 2.5f;
    r.channels[1].p41_41[2] = 99.0f;  // beyond the count
    r.channels[1].p41_43_count = 1;
    r.channels[1].p41_43[0] = 4;
    r.channels[1].p41_44_count = 3;
    r.channels[1].p41_44[2] = 7;
    r.channels[3].out_i = 77.0f;  // beyond channel_count
    r.ac.channel_count = 1;
    r.ac.p40_43_count = 2;
    r.ac.p40_43[1] = 5;
    r.ac_channels[1].alert_b = 3;
    r.ac_channels[1].p40_44_count = 1;
    r.ac_channels[1].p40_44[0] = 6;
    r.dc.m = 1;
    r.dc.dc_i[0] = 10.0f;
    r.dc.dc_i[1] = 20.0f;
    r.dc.p_count = 4;
    r.dc.alert_m_count = 2;
    r.dc.alert_m[1] = 1;
    r.dc2.alert_p_count = 5;
    r.dc2.alert_p[4] = 8;

    const Json::Value j = record_to_json(r);
    ASSERT_EQ(3u, j["channels"].size());
    EXPECT_EQ(12.5, j["channels"][1]["out_i"].asDouble());
    ASSERT_EQ(2u, j["channels"][1]["p41_41"].size());
    EXPECT_EQ(2.5, j["channels"][1]["p41_41"][1].asDouble());
    EXPECT_EQ(1u, j["channels"][1]["p41_43"].size());
    EXPECT_EQ(4u, j["channels"][1]["p41_43"][0].asUInt());
    ASSERT_EQ(3u, j["channels"][1]["p41_44"].size());
    EXPECT_EQ(7u, j["channels"][1]["p41_44"][2].asUInt());
    EXPECT_EQ(0u, j["channels"][0]["p41_41"].size());

    // AC input 2 keeps its alarm codes even with one input reported.
    ASSERT_EQ(2u, j["ac_channels"].size());
    EXPECT_EQ(3u, j["ac_channels"][1]["alert_b"].asUInt());
    ASSERT_EQ(1u, j["ac_channels"][1]["p40_44"].size());
    EXPECT_EQ(6u, j["ac_channels"][1]["p40_44"][0].asUInt());
    EXPECT_EQ(2u, j["ac"]["p40_43"].size());
    EXPECT_EQ(5u, j["ac"]["p40_43"][1].asUInt());

    ASSERT_EQ(1u, j["dc"]["dc_i"].size());
    EXPECT_EQ(10.0, j["dc"]["dc_i"][0].asDouble());
    EXPECT_EQ(4u, j["dc"]["p"].size());
    EXPECT_EQ(2u, j["dc"]["alert_m"].size());
    EXPECT_EQ(1u, j["dc"]["alert_m"][1].asUInt());
    EXPECT_EQ(5u, j["dc2"]["alert_p"].size());
    EXPECT_EQ(8u, j["dc2"]["alert_p"][4].asUInt());
    EXPECT_EQ(5u, j["dc2"]["alert_p_count"].asUInt());
}

// A cached record may carry any count; the rendering never reads past an array.
TEST(RecordJson, OversizedCountsAreClampedToTheArraySize) {
    Rec r;
    std::memset(&r, 0xFF, sizeof r);  // every count 255, every float NaN
    const Json::Value j = record_to_json(r);

    EXPECT_EQ(255u, j["channel_count"].asUInt());
    EXPECT_EQ(40u, j["channels"].size());
    EXPECT_EQ(2u, j["ac_channels"].size());
    EXPECT_EQ(0u, j["ac"]["airlock_status"].size());
    EXPECT_EQ(3u, j["ac"]["p40_43"].size());
    EXPECT_EQ(0u, j["ac_channels"][0]["p40_41"].size());
    EXPECT_EQ(8u, j["ac_channels"][0]["p40_44"].size());
    EXPECT_EQ(7u, j["channels"][39]["p41_41"].size());
    EXPECT_EQ(6u, j["channels"][39]["p41_43"].size());
    EXPECT_EQ(8u, j["channels"][39]["p41_44"].size());
    for (const char* panel : {"dc", "dc2"}) {
        SCOPED_TRACE(panel);
        EXPECT_EQ(2u, j[panel]["dc_i"].size());
        EXPECT_EQ(0u, j[panel]["channel"].size());
        EXPECT_EQ(27u, j[panel]["p"].size());
        EXPECT_EQ(10u, j[panel]["alert_m"].size());
        EXPECT_EQ(87u, j[panel]["alert_p"].size());
        EXPECT_EQ(255u, j[panel]["alert_p"][86].asUInt());
    }
    EXPECT_EQ(65535u, j["update_time"]["year"].asUInt());
    EXPECT_EQ(4294967295u, j["data_id"].asUInt());
}

TEST(RecordJson, NonFiniteFloatsBecomeNull) {
    Rec r = zero_record();
    r.out_v = std::numeric_limits<float>::quiet_NaN();
    r.dc.v = std::numeric_limits<float>::infinity();
    r.dc2.i = -std::numeric_limits<float>::infinity();
    r.ac.ia = 0.1f;
    r.channel_count = 1;
    r.channels[0].p41_41_count = 1;
    r.channels[0].p41_41[0] = -std::numeric_limits<float>::quiet_NaN();

    const Json::Value j = record_to_json(r);
    EXPECT_TRUE(j["out_v"].isNull());
    EXPECT_TRUE(j["dc"]["v"].isNull());
    EXPECT_TRUE(j["dc2"]["i"].isNull());
    EXPECT_TRUE(j["channels"][0]["p41_41"][0].isNull());
    EXPECT_TRUE(j["ac"]["ia"].isDouble());
    EXPECT_EQ(0.1, j["ac"]["ia"].asDouble());

    // The written text is valid JSON that reads back to the same values.
    Json::StreamWriterBuilder wb;
    const std::string text = Json::writeString(wb, j);
    EXPECT_EQ(std::string::npos, text.find("nan"));
    EXPECT_EQ(std::string::npos, text.find("inf"));
    Json::CharReaderBuilder rb;
    std::unique_ptr<Json::CharReader> reader(rb.newCharReader());
    Json::Value back;
    std::string err;
    ASSERT_TRUE(reader->parse(text.data(), text.data() + text.size(), &back, &err)) << err;
    EXPECT_TRUE(back["out_v"].isNull());
    EXPECT_EQ(0.1, back["ac"]["ia"].asDouble());
}

TEST(RecordJson, TimeStampsAreObjects) {
    Rec r = zero_record();
    r.update_time = ttime{2026, 3, 4, 5, 6, 7};
    r.dc2.update_time.year = 1999;
    const Json::Value j = record_to_json(r);
    EXPECT_EQ(2026u, j["update_time"]["year"].asUInt());
    EXPECT_EQ(3u, j["update_time"]["month"].asUInt());
    EXPECT_EQ(4u, j["update_time"]["day"].asUInt());
    EXPECT_EQ(5u, j["update_time"]["hour"].asUInt());
    EXPECT_EQ(6u, j["update_time"]["minute"].asUInt());
    EXPECT_EQ(7u, j["update_time"]["second"].asUInt());
    EXPECT_EQ(1999u, j["dc2"]["update_time"]["year"].asUInt());
    EXPECT_EQ(0u, j["ac"]["update_time"]["year"].asUInt());
}

TEST(RecordJson, FromBytesNeedsExactlyOneRecord) {
    std::vector<uint8_t> bytes(kRecordSize + 1, 0);
    store_le_f32(bytes.data() + 2225, 53.5f);
    bytes[100] = 1;

    EXPECT_TRUE(record_to_json_bytes(bytes.data(), kRecordSize - 1).isNull());
    EXPECT_TRUE(record_to_json_bytes(bytes.data(), kRecordSize + 1).isNull());
    EXPECT_TRUE(record_to_json_bytes(bytes.data(), 0).isNull());
    EXPECT_TRUE(record_to_json_bytes(nullptr, kRecordSize).isNull());

    const Json::Value j = record_to_json_bytes(bytes.data(), kRecordSize);
    ASSERT_TRUE(j.isObject());
    EXPECT_EQ(53.5, j["dc"]["v"].asDouble());
    EXPECT_EQ(1u, j["channels"].size());
}

}  // namespace
