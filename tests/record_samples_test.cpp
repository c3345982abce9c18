// The monitoring samples of a record: instances as the plant reported them,
// counts bounded by the record's arrays, panel 2 by the record's own rule.

#include "tools/smdgw/output/record_samples.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <string>

namespace {

// "veltra_dc panel=2 fuses_blown" -> value
std::map<std::string, double> by_name(const veltra_record_t& r) {
    std::map<std::string, double> out;
    for (const smdgw::Sample& s : smdgw::record_samples(r)) {
        std::string name = s.section->name;
        if (s.section->tag)
            name += std::string(" ") + s.section->tag + "=" + std::to_string(s.instance);
        out[name + " " + s.field->field] = s.value;
    }
    return out;
}

TEST(RecordSamples, CountsAreBoundedAndInstancesAreTheReportedOnes) {
    veltra_record_t r;
    std::memset(&r, 0, sizeof r);
    r.channel_count = 250;  // more than the record holds
    r.ac.channel_count = 1;
    r.channels[39].out_i = 7.5f;
    r.dc.alert_m_count = 4;
    r.dc.alert_m[1] = 2;
    r.dc.alert_m[3] = 1;
    r.dc.alert_m[5] = 1;  // beyond the count: no fuse
    r.dc.v = std::numeric_limits<float>::quiet_NaN();
    const auto s = by_name(r);
    EXPECT_EQ(s.at("veltra_system modules"), 40);
    EXPECT_EQ(s.at("veltra_ac inputs"), 1);
    EXPECT_EQ(s.count("veltra_ac_input input=1 a"), 1u);
    EXPECT_EQ(s.count("veltra_ac_input input=2 a"), 0u) << "input 2 was not reported";
    EXPECT_EQ(s.at("veltra_rectifier module=40 out_i"), 7.5);
    EXPECT_EQ(s.count("veltra_rectifier module=41 out_i"), 0u);
    EXPECT_EQ(s.at("veltra_dc panel=1 fuses"), 4);
    EXPECT_EQ(s.at("veltra_dc panel=1 fuses_blown"), 2);
    EXPECT_EQ(s.count("veltra_dc panel=1 v"), 0u) << "a value that is not finite is left out";
    EXPECT_EQ(s.count("veltra_dc panel=2 i"), 0u) << "one panel: panel 2 is all zeros";

    r.dc.alert_m_count = 255;
    r.dc2.alert_m_count = 1;
    r.dc2.alert_m[0] = 3;
    const auto two = by_name(r);
    EXPECT_EQ(two.at("veltra_dc panel=1 fuses"), 10);
    EXPECT_EQ(two.at("veltra_dc panel=1 fuses_blown"), 3);
    EXPECT_EQ(two.at("veltra_dc panel=2 fuses_blown"), 1);
    EXPECT_EQ(two.at("veltra_dc panel=2 v"), 0);
}

}  // namespace
