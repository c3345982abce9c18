// Text dump of the device record: line formats, number formatting and per-line flushing.

#include "record/record_dump.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#ifndef TEST_DATA_DIR
#define TEST_DATA_DIR "tests/data"
#endif

namespace {

using Rec = veltra_quelm_k418t_419_Data_t;

const char kPrefix[] = "Veltra_Quelm_K418T_419::finish_round cData before return";

Rec zero_record() {
    Rec r;
    std::memset(&r, 0, sizeof r);
    return r;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

std::string dump_to_string(const Rec& r, const std::string& prefix) {
    std::ostringstream os;
    dump_record(r, prefix, os);
    return os.str();
}

// Records the text written so far at every flush.
class FlushRecorder : public std::stringbuf {
   public:
    std::vector<std::string> at_flush;

   protected:
    int sync() override {
        at_flush.push_back(str());
        return 0;
    }
};

TEST(RecordDump, ZeroRecordMatchesExpectationFile) {
    std::ifstream in(std::string(TEST_DATA_DIR) + "/zero_record_dump.txt", std::ios::binary);
    ASSERT_TRUE(in) << "missing " << TEST_DATA_DIR << "/zero_record_dump.txt";
    std::stringstream want;
    want << in.rdbuf();

    const std::string got = dump_to_string(zero_record(), kPrefix);
    EXPECT_EQ(want.str(), got);
    EXPECT_EQ(50u, split_lines(got).size());
    ASSERT_FALSE(got.empty());
    EXPECT_EQ('\n', got.back());
}

TEST(RecordDump, ZeroRecordEmptyArraysLeaveLabelsAdjacent) {
    const std::vector<std::string> lines = split_lines(dump_to_string(zero_record(), "P"));
    ASSERT_EQ(50u, lines.size());
    EXPECT_NE(std::string::npos,
              lines[1].find("airlock_status=p40_43_count=0 p40_43=0 0 0 ia_alert=0"));
    EXPECT_NE(std::string::npos, lines[3].find(" p40_41=alert_a=0 "));
    EXPECT_NE(std::string::npos, lines[45].find(" channel=p_count=0 "));
    EXPECT_NE(std::string::npos, lines[48].find(" channel=p_count=0 "));
}

TEST(RecordDump, LineOrderAndPrefixes) {
    const std::vector<std::string> lines = split_lines(dump_to_string(zero_record(), "P"));
    ASSERT_EQ(50u, lines.size());
    const std::vector<std::pair<size_t, std::string>> starts = {
        {0, "P.data_id="},
        {1, "P.ac.data_id="},
        {2, "P.ac.update_time.year="},
        {3, "P.ac_channels[0].a="},
        {4, "P.ac_channels[1].a="},
        {5, "P.channels[0].out_i="},
        {44, "P.channels[39].out_i="},
        {45, "P.dc.data_id="},
        {46, "P.dc.update_time.year="},
        {47, "P.update_time.year="},
        {48, "P.dc2.data_id="},
        {49, "P.dc2.update_time.year="},
    };
    for (const auto& s : starts) {
        EXPECT_EQ(0u, lines[s.first].rfind(s.second, 0)) << lines[s.first];
    }
}

TEST(RecordDump, EveryLineIsFlushedOnItsOwn) {
    FlushRecorder buf;
    std::ostream os(&buf);
    dump_record(zero_record(), "P", os);
    ASSERT_EQ(50u, buf.at_flush.size());
    for (size_t k = 0; k < buf.at_flush.size(); ++k) {
        const std::string& text = buf.at_flush[k];
        ASSERT_FALSE(text.empty());
        EXPECT_EQ('\n', text.back());
        EXPECT_EQ(k + 1, split_lines(text).size());
    }
}

Rec sample_record() {
    Rec r = zero_record();
    r.data_id = 4000000000u;
    r.out_v = 53.5f;
    r.channel_count = 255;
    r.ac.ia = 0.1f;
    r.ac.ib = 1234567.0f;
    r.ac.ic = -2.25f;
    r.ac.channel_count = 2;
    r.ac.airlock_count = 7;
    r.ac.p40_43_count = 3;
    r.ac.p40_43[0] = 1;
    r.ac.p40_43[2] = 255;
    r.ac.ia_alert = 65;  // 'A' if it were written as a character
    r.ac.update_time = ttime{2026, 12, 31, 23, 59, 58};
    r.ac_channels[1].a = 230.1f;
    r.ac_channels[1].f = 50.0f;
    r.ac_channels[1].alert_f = 2;
    r.ac_channels[1].p40_44_count = 8;
    r.ac_channels[1].p40_44[7] = 9;
    r.channels[39].out_i = 12.75f;
    r.channels[39].p41_41_count = 7;
    r.channels[39].p41_41[6] = 0.000123f;
    r.channels[39].fault = 1;
    r.dc.v = -53.5f;
    r.dc.i = 100.0f;
    r.dc.m = 2;
    r.dc.dc_i[1] = 3.5f;
    r.dc.alert_m_count = 10;
    r.dc.alert_m[9] = 255;
    r.update_time = ttime{2026, 1, 2, 3, 4, 5};
    r.dc2.p_count = 27;
    r.dc2.p[26] = 1e-7f;
    r.dc2.alert_p_count = 87;
    r.dc2.alert_p[86] = 200;
    return r;
}

std::string zeros(int n) {
    std::string s;
    for (int k = 0; k < n; ++k) s += "0 ";
    return s;
}

TEST(RecordDump, NonZeroRecordLines) {
    const std::vector<std::string> lines = split_lines(dump_to_string(sample_record(), "X"));
    ASSERT_EQ(50u, lines.size());
    EXPECT_EQ("X.data_id=4000000000 out_v=53.5 channel_count=255", lines[0]);
    EXPECT_EQ(
        "X.ac.data_id=0 ia=0.1 ib=1.23457e+06 ic=-2.25 channel_count=2 airlock_count=7 "
        "airlock_status=p40_43_count=3 p40_43=1 0 255 ia_alert=65 ib_alert=0 ic_alert=0",
        lines[1]);
    EXPECT_EQ("X.ac.update_time.year=2026 month=12 day=31 hour=23 minute=59 second=58", lines[2]);
    EXPECT_EQ(
        "X.ac_channels[1].a=230.1 b=0 c=0 f=50 p40_41_count=0 p40_41=alert_a=0 alert_b=0 "
        "alert_c=0 alert_f=2 p40_44_count=8 p40_44=0 0 0 0 0 0 0 9 ",
        lines[4]);
    EXPECT_EQ(
        "X.channels[39].out_i=12.75 p41_41_count=7 p41_41=0 0 0 0 0 0 0.000123 shutdown=0 "
        "i_limit=0 charge=0 p41_43_count=0 p41_43=" +
            zeros(6) + "fault=1 p41_44_count=0 p41_44=" + zeros(8),
        lines[44]);
    EXPECT_EQ("X.dc.data_id=0 v=-53.5 i=100 m=2 dc_i=0 3.5 n=0 channel=p_count=0 p=" + zeros(27) +
                  "alert_v=0 alert_m_count=10 alert_m=" + zeros(9) +
                  "255 alert_p_count=0 alert_p=" + zeros(87),
              lines[45]);
    EXPECT_EQ("X.update_time.year=2026 month=1 day=2 hour=3 minute=4 second=5", lines[47]);
    EXPECT_EQ("X.dc2.data_id=0 v=0 i=0 m=0 dc_i=0 0 n=0 channel=p_count=27 p=" + zeros(26) +
                  "1e-07 alert_v=0 alert_m_count=0 alert_m=" + zeros(10) +
                  "alert_p_count=87 alert_p=" + zeros(86) + "200 ",
              lines[48]);
}

TEST(RecordDump, RectifierChannelLine) {
    veltra_rc_channel_t ch;
    std::memset(&ch, 0, sizeof ch);
    ch.out_i = 25.125f;
    ch.p41_41_count = 2;
    ch.p41_41[0] = 1.5f;
    ch.p41_41[1] = 100000000.0f;
    ch.shutdown = 1;
    ch.i_limit = 255;
    ch.charge = 2;
    ch.p41_43_count = 6;
    ch.p41_43[5] = 10;
    ch.fault = 48;  // '0' if it were written as a character
    ch.p41_44_count = 1;
    ch.p41_44[0] = 3;

    std::ostringstream os;
    dump_rc_channel(ch, "Veltra_Quelm_K418T_419::parse41_43_capture channel", os);
    EXPECT_EQ(
        "Veltra_Quelm_K418T_419::parse41_43_capture channel.out_i=25.125 p41_41_count=2 "
        "p41_41=1.5 1e+08 0 0 0 0 0 shutdown=1 i_limit=255 charge=2 p41_43_count=6 "
        "p41_43=0 0 0 0 0 10 fault=48 p41_44_count=1 p41_44=3 0 0 0 0 0 0 0 \n",
        os.str());
}

TEST(RecordDump, TimeStampLine) {
    std::ostringstream os;
    dump_ttime(ttime{65535, 255, 1, 0, 0, 9}, "T.update_time", os);
    EXPECT_EQ("T.update_time.year=65535 month=255 day=1 hour=0 minute=0 second=9\n", os.str());
}

// The dump's float text must be what the stream itself writes for a float by default.
TEST(RecordDump, FloatsMatchDefaultStreamFormatting) {
    const float values[] = {0.0f,
                            -0.0f,
                            53.5f,
                            0.1f,
                            1234567.0f,
                            123456.0f,
                            999999.5f,
                            1e-5f,
                            0.0001f,
                            -48.123456f,
                            3.4028235e38f,
                            1.4e-45f,
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(),
                            -std::numeric_limits<float>::quiet_NaN()};
    for (float v : values) {
        Rec r = zero_record();
        r.out_v = v;
        std::ostringstream want;
        want << "P.data_id=0 out_v=" << v << " channel_count=0";
        const std::vector<std::string> lines = split_lines(dump_to_string(r, "P"));
        ASSERT_EQ(50u, lines.size());
        EXPECT_EQ(want.str(), lines[0]);
    }
}

}  // namespace
