// smdgw's Influx line protocol: grammar, escapes, float fields that keep their
// type from round to round, alarm and statistics lines.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>
#include <set>
#include <string>
#include <vector>

#include "record/veltra_record.h"
#include "tests/support/captured_file.h"
#include "tests/support/monitoring_formats.h"
#include "tools/smdgw/output/influx_writer.h"

namespace {

using testsupport::CapturedFile;
using testsupport::InfluxField;
using testsupport::InfluxPoint;
using testsupport::parse_influx;

constexpr int64_t kNow = 1765000000123456789;

veltra_record_t plant_record(float volts) {
    veltra_record_t r;
    std::memset(&r, 0, sizeof r);
    r.out_v = volts;
    r.channel_count = 3;
    for (unsigned j = 0; j < 3; ++j) r.channels[j].out_i = 10.0f + static_cast<float>(j) * 0.5f;
    r.channels[1].fault = 1;
    r.ac.channel_count = 2;
    r.ac.ia = 12.25f;
    r.ac_channels[0].a = 230.0f;
    r.ac_channels[0].f = 50.0f;
    r.ac_channels[1].a = 229.5f;
    r.dc.v = volts;
    r.dc.i = 0.1f;
    r.dc.alert_m_count = 4;
    r.dc.alert_m[2] = 1;
    return r;
}

using smdgw::InfluxWriter;

std::vector<InfluxPoint> write_round(const std::string& device, const veltra_record_t& r) {
    CapturedFile out;
    InfluxWriter w(out.file(), [] { return kNow; });
    smd::RecordPublished p;
    p.data_id = 5535;
    p.data = reinterpret_cast<const unsigned char*>(&r);
    p.length = sizeof r;
    w.on_publish(device, p);
    return parse_influx(out.text());
}

const InfluxPoint& point(const std::vector<InfluxPoint>& pts, const std::string& measurement,
                         const std::string& tag = {}, const std::string& value = {}) {
    for (const InfluxPoint& p : pts) {
        if (p.measurement != measurement) continue;
        if (tag.empty() || (p.tags.count(tag) && p.tags.at(tag) == value)) return p;
    }
    throw std::runtime_error("no point " + measurement + " " + tag + "=" + value);
}

TEST(InfluxWriter, OneLinePerSectionWithDeviceAndInstanceTags) {
    const auto pts = write_round("plant1", plant_record(53.5f));
    std::map<std::string, int> per_measurement;
    for (const InfluxPoint& p : pts) {
        ++per_measurement[p.measurement];
        EXPECT_EQ(p.tags.at("device"), "plant1");
        EXPECT_TRUE(p.has_time);
        EXPECT_EQ(p.time, kNow) << "the gateway's clock, in nanoseconds";
    }
    const std::map<std::string, int> expected = {{"veltra_round", 1},
                                                 {"veltra_system", 1},
                                                 {"veltra_ac", 1},
                                                 {"veltra_ac_input", 2},
                                                 {"veltra_rectifier", 3},
                                                 {"veltra_dc", 1}};
    EXPECT_EQ(per_measurement, expected) << "the empty second DC panel is left out";
    EXPECT_DOUBLE_EQ(point(pts, "veltra_dc", "panel", "1").fields.at("v").number, 53.5);
    EXPECT_EQ(point(pts, "veltra_dc", "panel", "1").fields.at("i").text, "0.1");
    EXPECT_DOUBLE_EQ(point(pts, "veltra_dc", "panel", "1").fields.at("fuses_blown").number, 1.0);
    EXPECT_DOUBLE_EQ(point(pts, "veltra_rectifier", "module", "2").fields.at("out_i").number, 10.5);
    EXPECT_DOUBLE_EQ(point(pts, "veltra_rectifier", "module", "2").fields.at("fault").number, 1.0);
    EXPECT_DOUBLE_EQ(point(pts, "veltra_ac_input", "input", "2").fields.at("a").number, 229.5);
    EXPECT_DOUBLE_EQ(point(pts, "veltra_ac").fields.at("ia").number, 12.25);
    EXPECT_DOUBLE_EQ(point(pts, "veltra_system").fields.at("modules").number, 3.0);

    veltra_record_t two = plant_record(53.5f);
    two.dc2.v = 54.0f;
    EXPECT_DOUBLE_EQ(
        point(write_round("plant1", two), "veltra_dc", "panel", "2").fields.at("v").number, 54.0);
}

TEST(InfluxWriter, EveryFieldStaysAFloatAcrossRounds) {
    // The second round has integral values where the first had fractions.
    const auto first = write_round("p", plant_record(53.5f));
    const auto second = write_round("p", plant_record(54.0f));
    ASSERT_EQ(first.size(), second.size());
    for (size_t k = 0; k < first.size(); ++k) {
        ASSERT_EQ(first[k].series(), second[k].series());
        ASSERT_EQ(first[k].fields.size(), second[k].fields.size()) << first[k].series();
        for (const auto* round : {&first[k], &second[k]}) {
            for (const auto& kv : round->fields) {
                EXPECT_EQ(kv.second.type, InfluxField::Float) << kv.first << "=" << kv.second.text;
                EXPECT_NE(kv.second.text.find_first_of(".e"), std::string::npos)
                    << kv.first << "=" << kv.second.text << " reads as an integer elsewhere";
            }
        }
    }
    EXPECT_EQ(point(second, "veltra_dc").fields.at("v").text, "54.0");
}

TEST(InfluxWriter, EscapesTagsAndKeysByTheGrammar) {
    const std::string device = "site 7,rack=2\\a";
    const auto pts = write_round(device, plant_record(53.5f));
    ASSERT_FALSE(pts.empty());
    for (const InfluxPoint& p : pts) EXPECT_EQ(p.tags.at("device"), device);

    EXPECT_EQ(smdgw::influx_key("a b,c=d"), "a\\ b\\,c\\=d");
    EXPECT_EQ(smdgw::influx_measurement("m x,y=z"), "m\\ x\\,y=z");
    EXPECT_EQ(smdgw::influx_key("line\nbreak"), "line\\ break");
}

TEST(InfluxWriter, FloatLiterals) {
    const struct {
        double in;
        const char* out;
    } cases[] = {
        {3.0, "3.0"},    {-2.0, "-2.0"}, {0.0, "0.0"},
        {53.5, "53.5"},  {0.1f, "0.1"},  {229.3f, "229.3"},
        {1e20, "1e+20"}, {0.1, "0.1"},   {12345678.0, "12345678.0"},
    };
    for (const auto& c : cases) EXPECT_EQ(smdgw::influx_float(c.in), c.out) << c.in;
}

TEST(InfluxWriter, SkipsValuesThatAreNotNumbers) {
    veltra_record_t r = plant_record(53.5f);
    r.dc.v = std::numeric_limits<float>::quiet_NaN();
    const auto pts = write_round("p", r);
    EXPECT_EQ(point(pts, "veltra_dc").fields.count("v"), 0u);
    EXPECT_EQ(point(pts, "veltra_dc").fields.count("i"), 1u);
}

TEST(InfluxWriter, AlarmChangesAndStatistics) {
    CapturedFile out;
    InfluxWriter w(out.file(), [] { return kNow; });
    smd::AlarmChange alarm;
    alarm.raised = true;
    alarm.level = 3;
    alarm.key = "120600180010";
    alarm.alarm_id = "120600180010";
    alarm.message = "通信异常";
    alarm.seq = 1;
    w.on_alarm("plant1", alarm);
    alarm.raised = false;
    w.on_alarm("plant1", alarm);
    w.on_report("plant1", smd::AnalogReport{"419401002001", 53.5f});

    Json::Value stats;
    stats["event"] = "stats";
    stats["frames_accepted"] = 12;
    stats["frame_errors"]["checksum"] = 2;
    stats["last_round"] = "2026-01-01T00:00:00";
    w.write("plant1", stats);

    const auto pts = parse_influx(out.text());
    ASSERT_EQ(pts.size(), 3u);
    EXPECT_EQ(pts[0].measurement, "veltra_alarm");
    EXPECT_EQ(pts[0].tags.at("alarm_id"), "120600180010");
    EXPECT_EQ(pts[0].tags.at("message"), "通信异常");
    EXPECT_EQ(pts[0].fields.at("active").text, "1.0");
    EXPECT_EQ(pts[0].fields.at("level").text, "3.0");
    EXPECT_EQ(pts[1].fields.at("active").text, "0.0");
    EXPECT_EQ(pts[0].series(), pts[1].series()) << "raise and clear are one series";
    EXPECT_EQ(pts[2].measurement, "smdgw_stats");
    EXPECT_EQ(pts[2].fields.at("frame_errors_checksum").text, "2.0");
    EXPECT_EQ(pts[2].fields.at("frames_accepted").text, "12.0");
    EXPECT_EQ(pts[2].fields.count("last_round"), 0u) << "only numbers become fields";
}

}  // namespace

namespace {

TEST(InfluxWriter, ARoundWritesOnlyTheSectionsItRefreshed) {
    const veltra_record_t r = plant_record(0.0f);  // a lost DC section reads as zero
    CapturedFile out;
    InfluxWriter w(out.file(), [] { return kNow; });
    smd::RecordPublished p;
    p.data_id = 5535;
    p.data = reinterpret_cast<const unsigned char*>(&r);
    p.length = sizeof r;
    p.quality.frame_errors = 1;
    p.quality.unanswered_commands = 1;
    p.quality.sections[static_cast<size_t>(smd::Section::Dc)] = smd::Freshness::Held;
    w.on_publish("plant1", p);
    p.quality = RoundQuality();
    p.quality.restored = true;
    w.on_publish("plant1", p);
    const auto pts = parse_influx(out.text());
    std::set<std::string> measurements;
    for (const auto& pt : pts) measurements.insert(pt.measurement);
    EXPECT_EQ(measurements, (std::set<std::string>{"veltra_round", "veltra_system", "veltra_ac",
                                                   "veltra_ac_input", "veltra_rectifier"}))
        << out.text();
    EXPECT_EQ(pts[0].measurement, "veltra_round");
    EXPECT_EQ(pts[0].fields.at("complete").number, 0.0);
    EXPECT_EQ(pts[0].fields.at("frame_errors").number, 1.0);
    EXPECT_EQ(pts[0].fields.at("unanswered_commands").number, 1.0);
    EXPECT_EQ(pts[0].fields.at("dc_fresh").number, 0.0);
    EXPECT_EQ(pts[0].fields.at("ac_fresh").number, 1.0);
}

}  // namespace
