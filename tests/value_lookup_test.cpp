// Value lookup by key: data readiness, the 60 s age limit, the keys and the
// 150 V mains limit.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "tests/support/driver_fixture.h"
#include "tests/support/family_probe.h"

namespace {

using testsupport::FamilyProbe;
using Harness = testsupport::DriverHarness<FamilyProbe>;

// The message thrown by Get_Value, or "" when it returns.
std::string failure(const FamilyProbe& d, const std::string& key) {
    try {
        d.Get_Value(0, key);
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "";
}

class ValueLookup : public ::testing::Test {
   protected:
    void SetUp() override { testing::internal::CaptureStdout(); }
    void TearDown() override { testing::internal::GetCapturedStdout(); }
    // Completes a round with these phase voltages of input 1 and input 2.
    void round(const float (&in1)[3], const float (&in2)[3]) {
        auto& ch = h_.drv->cData.ac_channels;
        ch[0].a = in1[0];
        ch[0].b = in1[1];
        ch[0].c = in1[2];
        ch[1].a = in2[0];
        ch[1].b = in2[1];
        ch[1].c = in2[2];
        h_.drv->RoundDone();
    }
    Harness h_;
};

TEST_F(ValueLookup, NothingBeforeTheFirstRound) {
    for (const char* key : {"out_v", "ac", "ac1", "ac2", "nope", ""})
        EXPECT_EQ("数据未就绪", failure(*h_.drv, key)) << key;
}

TEST_F(ValueLookup, LogsEachCall) {
    testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    failure(*h_.drv, "out_v");
    EXPECT_EQ("in pmbuspower_419 Get_Value\n", testing::internal::GetCapturedStdout());
    testing::internal::CaptureStdout();
}

TEST_F(ValueLookup, AgeLimit) {
    h_.drv->cData.dc.v = 53.5f;
    h_.drv->cData.out_v = 48.0f;
    h_.drv->RoundDone();
    const struct {
        long age;
        const char* message;
    } cases[] = {{0, ""}, {60, ""}, {61, "数据已超时"}, {3600, "数据已超时"}, {-5, ""}};
    for (const auto& c : cases) {
        h_.drv->SetLastRoundTime(h_.clock.local_time() - boost::posix_time::seconds(c.age));
        EXPECT_EQ(c.message, failure(*h_.drv, "out_v")) << c.age;
        if (*c.message == '\0') {
            EXPECT_EQ(53.5f, h_.drv->Get_Value(7, "out_v"));  // dc.v, not the record's out_v
        }
        // Staleness is reported before an unknown key.
        EXPECT_EQ(*c.message ? c.message : "不支持变量", failure(*h_.drv, "nope")) << c.age;
    }
}

TEST_F(ValueLookup, UnknownKeys) {
    h_.drv->RoundDone();
    for (const char* key : {"OUT_V", "out_v ", " ac", "Ac1", "ac3", "dc.v", ""})
        EXPECT_EQ("不支持变量", failure(*h_.drv, key)) << key;
}

TEST_F(ValueLookup, MainsLimit) {
    const struct {
        float in1[3];
        float in2[3];
        float ac, ac1, ac2;
    } cases[] = {
        {{149.9f, 149.9f, 149.9f}, {149.9f, 149.9f, 149.9f}, 1, 1, 1},
        {{149.9f, 149.9f, 149.9f}, {149.9f, 149.9f, 150.0f}, 0, 1, 0},
        {{150.0f, 0, 0}, {0, 0, 0}, 0, 0, 1},
        {{0, 150.0f, 0}, {0, 0, 0}, 0, 0, 1},
        {{0, 0, 0}, {0, 0, 0}, 1, 1, 1},
        {{220, 221, 219}, {230, 0, 0}, 0, 0, 0},
        {{-1, -1, 149.99999f}, {0, 200, 0}, 0, 1, 0},
    };
    for (const auto& c : cases) {
        round(c.in1, c.in2);
        EXPECT_EQ(c.ac, h_.drv->Get_Value(0, "ac"));
        EXPECT_EQ(c.ac1, h_.drv->Get_Value(0, "ac1"));
        EXPECT_EQ(c.ac2, h_.drv->Get_Value(0, "ac2"));
    }
}

}  // namespace
