// Round completion: the order of host calls per threshold mode, the stamped
// record, the rule batch, and records loaded from the cache.

#include <gtest/gtest.h>
#include <json/json.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/driver_fixture.h"
#include "tests/support/family_probe.h"
#include "tests/support/threshold_config.h"

namespace {

using testsupport::FamilyProbe;
using Harness = testsupport::DriverHarness<FamilyProbe>;
using Names = std::vector<std::string>;

// A device with the communication alarm configured, one [AI] entry with a
// report setting and one mode 5 limit, in the given mode.
Json::Value round_entry(int b_mode) {
    Json::Value e = testsupport::basic_entry();
    e["appSetting"]["b_mode"] = b_mode;
    e["alarm_levels"]["120600180010"] = 3;
    e["reports"]["419601001001"]["period_enabled"] = true;
    e["limits"]["419601001001"]["upper"] = 60;
    e["thresholdSetting"]["bus"] = testsupport::limit_setting("419401", "dc.v", "Up", 56.5, 55, 2);
    testsupport::add_limit_set(e["thresholdSetting"]["bus"], "Low", 42, 44, 2);
    return e;
}

std::unique_ptr<Harness> round_device(int b_mode) {
    testing::internal::CaptureStdout();
    auto h = std::make_unique<Harness>(round_entry(b_mode));
    testing::internal::GetCapturedStdout();
    h->drv->ai_map_["dc.v"] = {"419401001001", "DC voltage"};
    h->sink.clear();
    return h;
}

TEST(RoundDone, HostCallOrderByMode) {
    const Names head = {"SendSP", "CheckThresholdBool", "DoBatchCheckThreshold",
                        "RunCheckThreshold"};
    const Names tail = {"DoBatchCheckThreshold", "SaveDeviceHistory"};
    const struct {
        int mode;
        Names middle;
        int batch;
    } cases[] = {
        {0, {}, 0}, {1, {"GenJsonData", "CheckThreshold", "CheckAOReport"}, 1},
        {3, {}, 0}, {5, {"GenJsonData", "CheckThresholdBool", "CheckThresholdBool"}, 2},
        {2, {}, 0},
    };
    for (const auto& c : cases) {
        auto h = round_device(c.mode);
        testing::internal::CaptureStdout();
        h->drv->RoundDone();
        const std::string log = testing::internal::GetCapturedStdout();
        Names expected = head;
        expected.insert(expected.end(), c.middle.begin(), c.middle.end());
        expected.insert(expected.end(), tail.begin(), tail.end());
        EXPECT_EQ(expected, h->sink.call_names()) << "mode " << c.mode;
        // The communication alarm is cleared within the round.
        const Json::Value& comm = h->sink.calls[1];
        EXPECT_EQ("120600180010", comm["alarm_id"].asString());
        EXPECT_FALSE(comm["active"].asBool());
        EXPECT_NE(std::string::npos, log.find("\nrvSize is " + std::to_string(c.batch) + "\n"))
            << log;
        EXPECT_TRUE(h->drv->RuleBatch().empty());
    }
}

TEST(RoundDone, PublishesStampedRecordUnderFixedDataId) {
    auto h = round_device(0);
    h->clock.set(boost::posix_time::time_from_string("2026-12-08 10:11:12"));
    h->drv->cData.dc.v = 53.5f;
    testing::internal::CaptureStdout();
    h->drv->RoundDone();
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(1u, h->sink.published.size());
    EXPECT_EQ(5535, h->sink.published_ids[0]);
    const auto& pub = h->sink.published[0];
    ASSERT_EQ(2704u, pub.size());
    // update_time at 2459: year 2026 little-endian, month, day, hour, minute, second.
    const std::vector<uint8_t> stamp(pub.begin() + 2459, pub.begin() + 2466);
    EXPECT_EQ((std::vector<uint8_t>{0xEA, 0x07, 12, 8, 10, 11, 12}), stamp);
    EXPECT_EQ(53.5f, load_le_f32(&pub[2225]));
    EXPECT_EQ(pub, h->sink.stored.at(0));
    EXPECT_EQ(false, h->sink.calls[0]["flag"].asBool());
    EXPECT_TRUE(h->drv->DataReady());
    EXPECT_EQ(h->clock.local_time(), h->drv->LastRoundTime());
}

TEST(RoundDone, AlarmSequenceRestartsEveryRound) {
    auto h = round_device(0);
    testing::internal::CaptureStdout();
    for (int i = 0; i < 3; ++i) {
        h->drv->RoundDone();
        h->drv->set_alarm_sequence(40);
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ((std::vector<unsigned short>{1, 1, 1}), h->drv->seq_at_rules);
}

TEST(RoundDone, BatchFilledByRulesIsFlushedOnce) {
    auto h = round_device(5);
    h->drv->cData.dc.v = 57.0f;
    testing::internal::CaptureStdout();
    h->drv->RoundDone();
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, log.find("rvSize is 2\n"));
    const auto flushes = h->sink.calls_named("DoBatchCheckThreshold");
    ASSERT_EQ(2u, flushes.size());
    EXPECT_EQ(1u, flushes[0]["size"].asUInt());  // the communication alarm, flushed by Reset
    EXPECT_EQ(2u, flushes[1]["size"].asUInt());
    EXPECT_EQ(1u, flushes[1]["result"].asUInt());
}

// ---- cached records --------------------------------------------------------------------------

std::string cached_record(size_t length) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i * 7 + 1);
    return bytes;
}

TEST(LoadFromCache, WrongLengthIsRefused) {
    for (size_t length : {2703u, 2705u, 0u}) {
        auto h = round_device(0);
        const std::string bytes = cached_record(length);
        const veltra_quelm_k418t_419_Data_t before = h->drv->cData;
        testing::internal::CaptureStdout();
        EXPECT_EQ(0, h->drv->LoadFromCache(bytes));
        EXPECT_EQ(0, h->drv->LoadFromCache(reinterpret_cast<const unsigned char*>(bytes.data()),
                                           static_cast<int>(length)));
        EXPECT_EQ("", testing::internal::GetCapturedStdout());
        EXPECT_FALSE(h->drv->DataReady());
        EXPECT_TRUE(h->sink.calls.empty());
        EXPECT_EQ(0, std::memcmp(&h->drv->cData, &before, sizeof before));
    }
}

TEST(LoadFromCache, RecordIsCompletedAsARound) {
    auto h = round_device(0);
    const std::string bytes = cached_record(2704);
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, h->drv->LoadFromCache(bytes));
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(h->drv->DataReady());
    ASSERT_EQ(1u, h->sink.published.size());
    std::vector<uint8_t> expected(bytes.begin(), bytes.end());
    const uint8_t stamp[7] = {0xEA, 0x07, 12, 8, 10, 0, 0};  // the test clock, not the cache
    std::memcpy(&expected[2459], stamp, sizeof stamp);
    EXPECT_EQ(expected, h->sink.published[0]);
    EXPECT_EQ(expected, h->sink.stored.at(0));
    EXPECT_EQ("SendSP", h->sink.call_names().at(0));
}

}  // namespace
