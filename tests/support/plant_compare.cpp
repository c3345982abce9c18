#include "tests/support/plant_compare.h"

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <cmath>
#include <sstream>

namespace testsupport {

namespace {

void expect_near(const Json::Value& got, const Json::Value& want, const std::string& what) {
    ASSERT_TRUE(got.isNumeric()) << what << ": " << got.toStyledString();
    const double g = got.asDouble(), w = want.asDouble();
    EXPECT_NEAR(g, w, 1e-4 * std::max(1.0, std::fabs(w))) << what;
}

Json::Value normalised(const Json::Value& v) {
    Json::Value out;
    Json::Reader().parse(Json::FastWriter().write(v), out);
    return out;
}

}  // namespace

std::vector<Json::Value> json_lines(const std::string& text) {
    std::vector<Json::Value> out;
    std::istringstream in(text);
    Json::Reader reader;
    for (std::string line; std::getline(in, line);) {
        Json::Value v;
        if (reader.parse(line, v)) out.push_back(v);
    }
    return out;
}

std::vector<Json::Value> events(const std::vector<Json::Value>& lines, const std::string& kind,
                                const std::string& device) {
    std::vector<Json::Value> out;
    for (const auto& l : lines)
        if (l["event"].asString() == kind && (device.empty() || l["device"].asString() == device))
            out.push_back(l);
    return out;
}

// The published record carries what the simulator sent.
void expect_record_matches(const Json::Value& rec_in, const Json::Value& snap_in,
                           const std::string& at) {
    // Both sides as JSON text would carry them, so that an unsigned and a
    // signed integer of the same value compare equal.
    const Json::Value rec = normalised(rec_in), snap = normalised(snap_in);
    expect_near(rec["out_v"], snap["out_v"], at + " out_v");
    for (const char* k : {"ia", "ib", "ic"}) expect_near(rec["ac"][k], snap["ac"][k], at + " ac");
    ASSERT_EQ(rec["ac"]["channel_count"].asUInt(), snap["ac"]["channel_count"].asUInt()) << at;
    for (Json::ArrayIndex i = 0; i < snap["ac_channels"].size(); ++i)
        for (const char* k : {"a", "b", "c", "f"})
            expect_near(rec["ac_channels"][i][k], snap["ac_channels"][i][k],
                        at + " ac_channels[" + std::to_string(i) + "]." + k);
    ASSERT_EQ(rec["channel_count"].asUInt(), snap["channel_count"].asUInt()) << at;
    for (Json::ArrayIndex j = 0; j < snap["channels"].size(); ++j) {
        const std::string m = at + " channels[" + std::to_string(j) + "]";
        expect_near(rec["channels"][j]["out_i"], snap["channels"][j]["out_i"], m + ".out_i");
        EXPECT_EQ(rec["channels"][j]["shutdown"], snap["channels"][j]["shutdown"]) << m;
        EXPECT_EQ(rec["channels"][j]["fault"], snap["channels"][j]["fault"]) << m;
        EXPECT_EQ(rec["channels"][j]["p41_44"], snap["channels"][j]["p41_44"]) << m;
        for (Json::ArrayIndex k = 0; k < snap["channels"][j]["p41_41"].size(); ++k)
            expect_near(rec["channels"][j]["p41_41"][k], snap["channels"][j]["p41_41"][k],
                        m + ".p41_41");
    }
    for (const char* panel : {"dc", "dc2"}) {
        if (!snap.isMember(panel)) continue;
        expect_near(rec[panel]["v"], snap[panel]["v"], at + " " + panel + ".v");
        expect_near(rec[panel]["i"], snap[panel]["i"], at + " " + panel + ".i");
        EXPECT_EQ(rec[panel]["alert_m"], snap[panel]["alert_m"]) << at << " " << panel;
    }
}

}  // namespace testsupport
