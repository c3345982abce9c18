// The history's second schema: a version 1 file is migrated in place after a
// copy is kept beside it, rounds carry their "complete" flag and only complete
// ones are restored, active alarms are kept per device, and a database that
// fails underneath holds the records in memory until it passes again.

#include <gtest/gtest.h>

#include <array>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/sql_text.h"
#include "tests/support/synthetic_record.h"
#include "tests/support/temp_dir.h"
#include "tools/smdgw/history/history_store.h"
#include "tools/smdgw/history/history_writer.h"

namespace {

using smdgw::HistoryStore;
using smdgw::StoredRecord;
using testsupport::sql_text;
using testsupport::stored_record;
using testsupport::synthetic_seq;
using testsupport::TempDir;

// The schema smdgw wrote before rounds were judged.
const char* const kVersion1 =
    "CREATE TABLE history (id INTEGER PRIMARY KEY, device TEXT NOT NULL,"
    " data_id INTEGER NOT NULL, time INTEGER NOT NULL,"
    " record BLOB NOT NULL CHECK (length(record) = 2704));"
    "CREATE INDEX history_device_time ON history(device, time);"
    "CREATE INDEX history_time ON history(time);"
    "PRAGMA application_id=1936548968; PRAGMA user_version=1;";

std::string version1_file(const TempDir& dir) {
    const std::string path = dir.path().string() + "/old.db";
    sql_text(path, kVersion1);
    sql_text(path,
             "INSERT INTO history(device, data_id, time, record) VALUES"
             " ('plant1', 418, 1000, zeroblob(2704)), ('plant1', 418, 1010, zeroblob(2704));");
    return path;
}

TEST(HistorySchema, Version1IsMigratedInPlaceAfterACopyIsKept) {
    TempDir dir;
    const std::string path = version1_file(dir);
    {
        // An export reads an old file as it is, changing nothing.
        HistoryStore reader = HistoryStore::open_for_reading(path);
        EXPECT_TRUE(reader.newest("plant1", true)->complete);
        EXPECT_EQ(reader.migration().from, 0);
    }
    EXPECT_EQ(sql_text(path, "PRAGMA user_version"), "1");
    std::string backup;
    {
        HistoryStore store = HistoryStore::open_for_writing(path);
        EXPECT_EQ(store.migration().from, 1);
        backup = store.migration().backup;
        EXPECT_EQ(backup, path + ".v1.bak");
        std::vector<StoredRecord> more = {stored_record("plant1", 1020, 7)};
        more[0].complete = false;
        store.insert(more);
        // The rounds stored before were not judged: they count as complete.
        const auto newest_complete = store.newest("plant1", true);
        ASSERT_TRUE(newest_complete);
        EXPECT_EQ(newest_complete->time, 1010);
        EXPECT_FALSE(store.newest("plant1")->complete);
    }
    EXPECT_EQ(sql_text(path, "PRAGMA user_version"),
              std::to_string(HistoryStore::kSchemaVersion));
    EXPECT_EQ(sql_text(path, "SELECT group_concat(complete, '') FROM history ORDER BY id"), "110");
    EXPECT_EQ(sql_text(path, "PRAGMA integrity_check"), "ok");
    // The copy is the file as it was: version 1, its two rows.
    EXPECT_EQ(sql_text(backup, "PRAGMA user_version"), "1");
    EXPECT_EQ(sql_text(backup, "SELECT count(*) FROM history"), "2");
    // Opened again: nothing more to migrate, no second copy.
    HistoryStore again = HistoryStore::open_for_writing(path);
    EXPECT_EQ(again.migration().from, 0);
    EXPECT_FALSE(std::filesystem::exists(path + ".v1.bak.1"));
    {
        // The rounds it held get their roll-ups at the first start: the
        // minute from 960 s closes, the one from 1020 s stays open.
        smdgw::Retention all;
        all.max_age_seconds = all.rollup_max_age_seconds[0] = all.rollup_max_age_seconds[1] = 0;
        smdgw::HistoryWriter w(again, all, [] { return int64_t{1030}; });
    }
    EXPECT_EQ(sql_text(path, "SELECT group_concat(start || ':' || rounds) FROM rollup_1m"), "960:2");
}

// Version 2 judged rounds as a whole: each section takes the round's flag,
// and new rounds store their own.
TEST(HistorySchema, Version2GetsTheSectionFlagsOfItsRounds) {
    TempDir dir;
    const std::string path = version1_file(dir);
    sql_text(path,
             "ALTER TABLE history ADD COLUMN complete INTEGER NOT NULL DEFAULT 1;"
             "CREATE TABLE active_alarms (device TEXT NOT NULL, key TEXT NOT NULL,"
             " alarm_id TEXT NOT NULL, seq INTEGER NOT NULL, level INTEGER NOT NULL,"
             " message TEXT NOT NULL, since INTEGER NOT NULL,"
             " PRIMARY KEY (device, key, alarm_id, seq));"
             "UPDATE history SET complete = 0 WHERE time = 1010; PRAGMA user_version=2;");
    {
        HistoryStore store = HistoryStore::open_for_writing(path);
        EXPECT_EQ(store.migration().from, 2);
        EXPECT_EQ(store.migration().backup, path + ".v2.bak");
        std::vector<StoredRecord> more = {stored_record("plant1", 1020, 7)};
        more[0].complete = false;
        more[0].fresh = {true, true, false};
        store.insert(more);
    }
    EXPECT_EQ(sql_text(path, "SELECT group_concat(ac_fresh || rectifiers_fresh || dc_fresh, ' ')"
                             " FROM history ORDER BY id"),
              "111 000 110");
    EXPECT_EQ(sql_text(path + ".v2.bak", "PRAGMA user_version"), "2");
    HistoryStore reader = HistoryStore::open_for_reading(path);
    std::vector<std::array<bool, 3>> fresh;
    reader.for_each({}, [&](const StoredRecord& r) { fresh.push_back(r.fresh); });
    ASSERT_EQ(fresh.size(), 3u);
    EXPECT_EQ(fresh[2], (std::array<bool, 3>{true, true, false}));
}

TEST(HistorySchema, AMigrationThatCannotCopyChangesNothing) {
    TempDir dir;
    const std::string path = version1_file(dir);
    // Every name for the copy is taken by a directory.
    std::filesystem::create_directory(path + ".v1.bak");
    for (int k = 1; k < 100; ++k)
        std::filesystem::create_directory(path + ".v1.bak." + std::to_string(k));
    EXPECT_THROW(HistoryStore::open_for_writing(path), smdgw::HistoryError);
    EXPECT_EQ(sql_text(path, "PRAGMA user_version"), "1");
    EXPECT_EQ(sql_text(path, "SELECT count(*) FROM history"), "2");
}

TEST(HistorySchema, ActiveAlarmsAreReplacedPerDeviceInTheRoundsTransaction) {
    TempDir dir;
    HistoryStore store = HistoryStore::open_for_writing(dir.path().string() + "/h.db");
    ActiveAlarm fuse;
    fuse.id = {"419501001001", "419501001001", 1};
    fuse.level = 2;
    fuse.message = "熔丝断";
    fuse.since = 1700000000;
    ActiveAlarm mains = fuse;
    mains.id = {"419001001001", "419001001001", 3};
    std::vector<StoredRecord> none;
    store.write(none, {{"a", {fuse, mains}}, {"b", {fuse}}});
    auto a = store.active_alarms("a");
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[1].id.key, "419501001001");
    EXPECT_EQ(a[1].message, "熔丝断");
    EXPECT_EQ(a[1].since, 1700000000);
    EXPECT_EQ(a[0].id.seq, 3);
    // A record that the table refuses takes the alarm change down with it.
    std::vector<StoredRecord> bad = {stored_record("a", 1, 1)};
    bad[0].bytes.resize(10);
    EXPECT_THROW(store.write(bad, {{"a", {}}}), smdgw::HistoryError);
    EXPECT_EQ(store.active_alarms("a").size(), 2u);
    store.write(none, {{"a", {}}});
    EXPECT_TRUE(store.active_alarms("a").empty());
    EXPECT_EQ(store.active_alarms("b").size(), 1u);
}

// Another connection holds the write lock: every attempt fails. The records
// wait in memory, the error is said, adding never blocks, and all of them are
// stored once the lock is gone.
TEST(HistoryWriter, ALockedDatabaseIsRetriedUntilItPasses) {
    TempDir dir;
    const std::string path = dir.path().string() + "/h.db";
    HistoryStore store = HistoryStore::open_for_writing(path);
    store.set_busy_timeout(50);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    testing::internal::CaptureStderr();
    {
        smdgw::HistoryWriter w(store, {0, 0}, [] { return int64_t{0}; });
        for (uint32_t k = 0; k < 20; ++k) w.add(stored_record("a", k, k));
        w.save_alarms({"a", {}});
        w.flush();  // returns while the database fails
        for (int i = 0; i < 200 && w.errors() < 2; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_GE(w.errors(), 2u);
        EXPECT_EQ(w.committed(), 0u);
        EXPECT_EQ(w.queued(), 20u);
        for (uint32_t k = 20; k < 30; ++k) w.add(stored_record("a", k, k));
        ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
        for (int i = 0; i < 1000 && w.committed() < 30; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(w.committed(), 30u);
        EXPECT_EQ(w.dropped(), 0u);
        EXPECT_EQ(w.failed(), 0u);
    }
    const std::string err = testing::internal::GetCapturedStderr();
    sqlite3_close(other);
    EXPECT_NE(err.find("database is locked"), std::string::npos) << err;
    EXPECT_NE(err.find("kept in memory, retrying"), std::string::npos) << err;
    EXPECT_NE(err.find("writing resumed"), std::string::npos) << err;
    // In the order they were added, none twice.
    std::vector<uint32_t> seqs;
    store.for_each({}, [&](const StoredRecord& r) { seqs.push_back(synthetic_seq(r.bytes)); });
    ASSERT_EQ(seqs.size(), 30u);
    for (uint32_t k = 0; k < 30; ++k) EXPECT_EQ(seqs[k], k);
}

TEST(HistoryWriter, WhileFailingTheQueueKeepsItsBoundAndCountsWhatItDrops) {
    TempDir dir;
    const std::string path = dir.path().string() + "/h.db";
    HistoryStore store = HistoryStore::open_for_writing(path);
    store.set_busy_timeout(10);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    testing::internal::CaptureStderr();
    {
        smdgw::HistoryWriter w(store, {0, 0}, [] { return int64_t{0}; }, {}, 8);
        for (uint32_t k = 0; k < 8; ++k) w.add(stored_record("a", k, k));
        for (int i = 0; i < 200 && w.errors() < 1; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (uint32_t k = 8; k < 12; ++k) w.add(stored_record("a", k, k));
        EXPECT_LE(w.queued(), 8u);
        ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
        for (int i = 0; i < 1000 && w.committed() + w.dropped() < 12; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(w.committed() + w.dropped(), 12u);
        EXPECT_EQ(w.dropped(), 4u);
    }
    testing::internal::GetCapturedStderr();
    sqlite3_close(other);
    // The newest records are the ones kept.
    EXPECT_EQ(synthetic_seq(store.newest("a")->bytes), 11u);
}

}  // namespace
