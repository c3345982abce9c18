// Restore at start: a device gets its newest stored record only when that is
// recent, and what it stores again while loading it is not stored twice.
// The other sinks of the gateway's fan-out still see everything.

#include "tools/smdgw/history/history_restore.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <ctime>
#include <optional>
#include <vector>

#include "host/host_clock.h"
#include "host/smd_vdevice.h"
#include "tests/support/recording_sink.h"
#include "tests/support/run_process.h"
#include "tests/support/synthetic_record.h"
#include "tests/support/temp_dir.h"
#include "tools/smdgw/core/fanout_sink.h"
#include "tools/smdgw/history/history_recorder.h"

namespace {

using smdgw::RestoreOutcome;
using testsupport::stored_record;
using testsupport::synthetic_seq;

// A device that, like a driver, publishes and stores again what it loads.
class LoadingDevice : public SMDVDevice {
   public:
    explicit LoadingDevice(bool accept) : accept_(accept) {
        Json::Value entry;
        entry["name"] = "plant1";
        entry["data_id"] = 418;
        Init(std::weak_ptr<SMDController>(), 0, entry);
    }
    int LoadFromCache(const unsigned char* data, int length) override {
        loaded.emplace_back(data, data + length);
        if (!accept_) return 0;
        SendSP(5535, data, static_cast<unsigned>(length), false);
        SaveDeviceHistory(data, static_cast<unsigned>(length));
        return 1;
    }
    std::vector<std::vector<unsigned char>> loaded;

   private:
    bool accept_;
};

struct Fixture {
    testsupport::TempDir dir;
    smdgw::HistoryStore store =
        smdgw::HistoryStore::open_for_writing(dir.path().string() + "/h.db");
    ManualClock clock{boost::posix_time::from_time_t(5000)};
    testsupport::RecordingSink next;
    smdgw::HistoryWriter writer{store, {0, 0}, [] { return int64_t{0}; }};
    smdgw::HistoryRecorder recorder{writer, clock, {{"plant1", 418}, {"plant2", 419}}};
    smdgw::FanoutSink sink;
    Fixture() {
        sink.add(&next);
        sink.add(&recorder);
    }
};

struct AgeCase {
    int64_t stored_age;  // now - time of the newest record
    int64_t max_age;
    RestoreOutcome::Kind kind;
};

TEST(HistoryRestore, OnlyARecentNewestRecordIsHandedBack) {
    const int64_t now = 10000;
    const AgeCase cases[] = {
        {0, 300, RestoreOutcome::Loaded},     {299, 300, RestoreOutcome::Loaded},
        {300, 300, RestoreOutcome::Loaded},   {301, 300, RestoreOutcome::TooOld},
        {-1, 300, RestoreOutcome::TooOld},    {0, 0, RestoreOutcome::TooOld},
        {3600, 7200, RestoreOutcome::Loaded},
    };
    for (const auto& c : cases) {
        Fixture f;
        std::vector<smdgw::StoredRecord> rows = {
            stored_record("plant1", now - c.stored_age - 50, 1),
            stored_record("plant1", now - c.stored_age, 2),
            stored_record("plant2", now, 3),  // another device's newer record
        };
        f.store.insert(rows);
        LoadingDevice dev(true);
        dev.SetSink(&f.sink);
        const RestoreOutcome r =
            smdgw::restore_device(f.writer, f.recorder, "plant1", dev, c.max_age, now);
        EXPECT_EQ(r.kind, c.kind) << "age " << c.stored_age << " max " << c.max_age;
        EXPECT_EQ(r.stored_time, now - c.stored_age);
        EXPECT_EQ(r.age, c.stored_age);
        if (c.kind == RestoreOutcome::Loaded) {
            ASSERT_EQ(dev.loaded.size(), 1u);
            EXPECT_EQ(dev.loaded[0], rows[1].bytes);
        } else {
            EXPECT_TRUE(dev.loaded.empty());
        }
    }
}

TEST(HistoryRestore, ReStoredRecordIsNotStoredTwiceButPassesOn) {
    Fixture f;
    std::vector<smdgw::StoredRecord> rows = {stored_record("plant1", 4990, 7)};
    f.store.insert(rows);
    LoadingDevice dev(true);
    dev.SetSink(&f.sink);
    const auto r = smdgw::restore_device(f.writer, f.recorder, "plant1", dev, 300, 5000);
    EXPECT_EQ(r.kind, RestoreOutcome::Loaded);
    f.writer.flush();
    EXPECT_EQ(f.store.count(), 1) << "the restored record was stored again";
    ASSERT_EQ(f.next.published.size(), 1u);
    ASSERT_EQ(f.next.stored.size(), 1u);
    EXPECT_EQ(f.next.stored[0], rows[0].bytes);

    // The next round of the device is stored as usual, at the clock's time.
    f.clock.advance(3);
    const auto round = testsupport::synthetic_record(8, 54.0f);
    dev.SaveDeviceHistory(round.data(), static_cast<unsigned>(round.size()));
    f.writer.flush();
    const auto newest = f.store.newest("plant1");
    ASSERT_TRUE(newest.has_value());
    EXPECT_EQ(synthetic_seq(newest->bytes), 8u);
    EXPECT_EQ(newest->time, 5003);
    EXPECT_EQ(newest->data_id, 418u);
}

TEST(HistoryRestore, RefusedAndMissingRecordsAreReported) {
    Fixture f;
    LoadingDevice dev(false);
    EXPECT_EQ(smdgw::restore_device(f.writer, f.recorder, "plant1", dev, 300, 5000).kind,
              RestoreOutcome::NotFound);
    std::vector<smdgw::StoredRecord> rows = {stored_record("plant1", 5000, 1)};
    f.store.insert(rows);
    EXPECT_EQ(smdgw::restore_device(f.writer, f.recorder, "plant1", dev, 300, 5000).kind,
              RestoreOutcome::Refused);
    EXPECT_EQ(dev.loaded.size(), 1u);
    EXPECT_STREQ(smdgw::restore_kind_name(RestoreOutcome::Loaded), "loaded");
    EXPECT_STREQ(smdgw::restore_kind_name(RestoreOutcome::TooOld), "too_old");
}

TEST(HistoryRecorder, KeepsWholeRecordsWithTheirDeviceDataIdAndTime) {
    Fixture f;
    const auto rec = testsupport::synthetic_record(4, 53.0f);
    testing::internal::CaptureStderr();
    f.recorder.on_history("plant2", smd::RecordStored{rec.data(), 100});
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("stored 100 bytes, not a record"), std::string::npos) << err;
    f.recorder.on_history("plant2",
                          smd::RecordStored{rec.data(), static_cast<unsigned>(rec.size())});
    f.recorder.on_history("unknown",
                          smd::RecordStored{rec.data(), static_cast<unsigned>(rec.size())});
    f.writer.flush();
    EXPECT_EQ(f.store.count(), 2);
    EXPECT_EQ(f.store.newest("plant2")->bytes, rec);
    EXPECT_EQ(f.store.newest("plant2")->data_id, 419u);
    EXPECT_EQ(f.store.newest("plant2")->time, 5000);
    EXPECT_EQ(f.store.newest("unknown")->data_id, 0u);
}

// smdgw started on a history: a recent round is served at once, an old one
// is left alone and the device starts without data.
TEST(SmdgwHistoryRestore, RecentRoundIsServedOldRoundIsNot) {
    struct Case {
        int64_t age;
        const char* restore;
        bool served;
    };
    const Case cases[] = {{0, "loaded", true}, {600, "too_old", false}};
    for (const auto& c : cases) {
        testsupport::TempDir dir;
        const std::string db = dir.path().string() + "/h.db";
        {
            auto store = smdgw::HistoryStore::open_for_writing(db);
            std::vector<smdgw::StoredRecord> rows = {stored_record(
                "plant1", static_cast<int64_t>(std::time(nullptr)) - c.age, 1, 51.5f)};
            store.insert(rows);
        }
        const std::string cfg =
            dir.write_s("gw.json", R"({"devices":[{"name":"plant1","data_id":418,"address":1}]})");
        const std::string cap = dir.write_s("empty.cap", "");
        const auto r = testsupport::run_process(
            {SMDGW_PATH, "--config", cfg, "--replay", cap, "--history", db, "--get", "out_v"});
        ASSERT_EQ(r.status, 0) << r.err;
        Json::Value restore, value;
        for (const auto& line : r.out_lines()) {
            Json::Value v;
            if (!Json::Reader().parse(line, v)) continue;
            if (v["event"].asString() == "history") restore = v;
            if (v["event"].asString() == "value") value = v;
        }
        EXPECT_EQ(restore["restore"].asString(), c.restore) << r.out;
        EXPECT_NEAR(restore["age"].asDouble(), static_cast<double>(c.age), 2.0);
        if (c.served) {
            EXPECT_FLOAT_EQ(value["value"].asFloat(), 51.5f) << r.out;
        } else {
            EXPECT_EQ(value["error"].asString(), "数据未就绪") << r.out;
        }
        EXPECT_EQ(smdgw::HistoryStore::open_for_reading(db).count(), 1) << "stored again";
    }
}

}  // namespace
