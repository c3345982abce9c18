// The history database: records come back byte for byte, the newest one per
// device, retention removes exactly what is beyond its bounds, foreign files
// are refused untouched, and committed rows survive SIGKILL.

#include "tools/smdgw/history/history_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/run_process.h"
#include "tests/support/sql_text.h"
#include "tests/support/synthetic_record.h"
#include "tests/support/temp_dir.h"
#include "tools/smdgw/history/history_writer.h"

namespace {

using testsupport::sql_text;

using smdgw::HistoryError;
using smdgw::HistoryFilter;
using smdgw::HistoryStore;
using smdgw::Retention;
using smdgw::StoredRecord;
using testsupport::read_text;
using testsupport::stored_record;
using testsupport::synthetic_seq;
using testsupport::TempDir;

std::vector<StoredRecord> all_rows(HistoryStore& store, const HistoryFilter& f = {}) {
    std::vector<StoredRecord> rows;
    store.for_each(f, [&](const StoredRecord& r) { rows.push_back(r); });
    return rows;
}

std::set<std::string> dir_entries(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

TEST(HistoryStore, RecordsComeBackByteForByteInTimeOrder) {
    TempDir dir;
    const std::string path = dir.path().string() + "/h.db";
    std::vector<StoredRecord> in = {stored_record("plant1", 1000, 1),
                                    stored_record("plant2", 1000, 2),
                                    stored_record("plant1", 1005, 3)};
    {
        HistoryStore store = HistoryStore::open_for_writing(path);
        store.insert(in);
        EXPECT_GT(in[0].id, 0);
        EXPECT_LT(in[0].id, in[1].id);
    }
    HistoryStore store = HistoryStore::open_for_reading(path);
    const auto rows = all_rows(store);
    ASSERT_EQ(rows.size(), 3u);
    for (size_t k = 0; k < rows.size(); ++k) {
        EXPECT_EQ(rows[k].device, in[k].device);
        EXPECT_EQ(rows[k].data_id, 418u);
        EXPECT_EQ(rows[k].time, in[k].time);
        EXPECT_EQ(rows[k].bytes, in[k].bytes) << "row " << k;
    }
    EXPECT_EQ(sql_text(path, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(sql_text(path, "PRAGMA user_version"),
              std::to_string(HistoryStore::kSchemaVersion));
}

TEST(HistoryStore, NewestIsLatestTimeThenLatestInsertion) {
    TempDir dir;
    HistoryStore store = HistoryStore::open_for_writing(dir.path().string() + "/h.db");
    EXPECT_FALSE(store.newest("plant1").has_value());
    // The clock went back between the second and third round.
    std::vector<StoredRecord> in = {
        stored_record("plant1", 2000, 1), stored_record("plant1", 2010, 2),
        stored_record("plant1", 1990, 3), stored_record("plant1", 2010, 4),
        stored_record("plant2", 3000, 5)};
    store.insert(in);
    const auto n = store.newest("plant1");
    ASSERT_TRUE(n.has_value());
    EXPECT_EQ(synthetic_seq(n->bytes), 4u);
    EXPECT_EQ(n->time, 2010);
}

TEST(HistoryStore, FilterSelectsDeviceAndInclusiveTimeRange) {
    TempDir dir;
    HistoryStore store = HistoryStore::open_for_writing(dir.path().string() + "/h.db");
    std::vector<StoredRecord> in;
    for (uint32_t k = 0; k < 6; ++k) in.push_back(stored_record(k % 2 ? "b" : "a", 100 + k, k));
    store.insert(in);
    HistoryFilter f;
    f.device = "a";
    f.since = 102;
    f.until = 104;
    std::vector<uint32_t> seqs;
    for (const auto& r : all_rows(store, f)) seqs.push_back(synthetic_seq(r.bytes));
    EXPECT_EQ(seqs, (std::vector<uint32_t>{2, 4}));
}

struct RetentionCase {
    const char* name;
    Retention retention;
    int64_t now;
    std::vector<uint32_t> kept;  // sequence numbers left, in time order
};

TEST(HistoryStore, RetentionRemovesOnlyWhatIsBeyondItsBounds) {
    // Device a: seq 0..5 at times 100..105; device b: seq 10..12 at 100, 103, 103.
    const RetentionCase cases[] = {
        {"no bounds", {0, 0}, 1000, {0, 10, 1, 2, 3, 11, 12, 4, 5}},
        {"age: strictly older than now-age goes", {3, 0}, 106, {3, 11, 12, 4, 5}},
        {"rows: newest 2 per device", {0, 2}, 0, {11, 12, 4, 5}},
        {"rows: equal times keep the later insertion", {0, 1}, 0, {12, 5}},
        {"both", {5, 3}, 106, {11, 12, 3, 4, 5}},
        {"bounds wider than the data", {1000, 100}, 106, {0, 10, 1, 2, 3, 11, 12, 4, 5}},
    };
    for (const auto& c : cases) {
        TempDir dir;
        HistoryStore store = HistoryStore::open_for_writing(dir.path().string() + "/h.db");
        std::vector<StoredRecord> in;
        for (uint32_t k = 0; k < 6; ++k) in.push_back(stored_record("a", 100 + k, k));
        in.push_back(stored_record("b", 100, 10));
        in.push_back(stored_record("b", 103, 11));
        in.push_back(stored_record("b", 103, 12));
        store.insert(in);
        const int64_t removed = store.prune(c.retention, c.now);
        std::vector<uint32_t> kept;
        for (const auto& r : all_rows(store)) kept.push_back(synthetic_seq(r.bytes));
        // Rows of equal time come in insertion order; a before b at 103 by id.
        std::vector<uint32_t> expect = c.kept;
        EXPECT_EQ(std::multiset<uint32_t>(kept.begin(), kept.end()),
                  std::multiset<uint32_t>(expect.begin(), expect.end()))
            << c.name;
        EXPECT_EQ(removed, static_cast<int64_t>(in.size() - c.kept.size())) << c.name;
    }
}

TEST(HistoryStore, PruningLargeBacklogsWorksInChunks) {
    TempDir dir;
    HistoryStore store = HistoryStore::open_for_writing(dir.path().string() + "/h.db");
    std::vector<StoredRecord> in;
    for (uint32_t k = 0; k < 2500; ++k) in.push_back(stored_record("a", k, k));
    store.insert(in);
    EXPECT_EQ(store.prune({0, 10}, 0), 2490);
    EXPECT_EQ(store.count(), 10);
    EXPECT_EQ(synthetic_seq(all_rows(store).front().bytes), 2490u);
}

struct BadFile {
    const char* name;
    const char* expect;  // part of the message
};

TEST(HistoryStore, ForeignFilesAreRefusedAndLeftUnchanged) {
    TempDir dir;
    const std::string text = dir.write_s("notes.txt", "this is not a database\n");
    const std::string other = dir.path().string() + "/other.db";
    sql_text(other, "CREATE TABLE t(x); INSERT INTO t VALUES(1);");
    const std::string newer = dir.path().string() + "/newer.db";
    HistoryStore::open_for_writing(newer);
    sql_text(newer, "PRAGMA user_version=" + std::to_string(HistoryStore::kSchemaVersion + 1));
    const std::string broken = dir.path().string() + "/broken.db";
    HistoryStore::open_for_writing(broken);
    sql_text(broken,
             "DROP INDEX history_time; DROP INDEX history_device_time; "
             "ALTER TABLE history RENAME TO old");
    const BadFile cases[] = {
        {"notes.txt", "not a SQLite database"},
        {"other.db", "another program or schema"},
        {"newer.db", "is newer than this smdgw understands"},
        {"broken.db", "history table missing"},
    };
    for (const auto& c : cases) {
        const std::string path = dir.path().string() + "/" + c.name;
        const std::string before = read_text(path);
        const auto entries = dir_entries(dir.path().string());
        for (bool writing : {false, true}) {
            try {
                if (writing) {
                    HistoryStore::open_for_writing(path);
                } else {
                    HistoryStore::open_for_reading(path);
                }
                ADD_FAILURE() << c.name << " accepted";
            } catch (const HistoryError& e) {
                const std::string msg = e.what();
                EXPECT_EQ(msg.rfind(path + ": ", 0), 0u) << msg;
                EXPECT_NE(msg.find(c.expect), std::string::npos) << msg;
            }
            EXPECT_EQ(read_text(path), before) << c.name;
            // A reader of a WAL database may leave SQLite's empty index files
            // beside it; nothing else appears.
            for (const std::string& name : dir_entries(dir.path().string())) {
                if (entries.count(name)) continue;
                EXPECT_TRUE(name == std::string(c.name) + "-shm" ||
                            name == std::string(c.name) + "-wal")
                    << name;
                EXPECT_LE(std::filesystem::file_size(dir.path().string() + "/" + name), 32768u)
                    << name;
            }
        }
    }
}

TEST(HistoryStore, ReadingNeverCreatesOrInitialisesAFile) {
    TempDir dir;
    EXPECT_THROW(HistoryStore::open_for_reading(dir.path().string() + "/missing.db"), HistoryError);
    const std::string empty = dir.write_s("empty.db", "");
    EXPECT_THROW(HistoryStore::open_for_reading(empty), HistoryError);
    EXPECT_EQ(dir_entries(dir.path().string()), std::set<std::string>{"empty.db"});
    EXPECT_EQ(read_text(empty), "");
    // Written to, the empty file becomes a history.
    HistoryStore::open_for_writing(empty);
    EXPECT_NO_THROW(HistoryStore::open_for_reading(empty));
}

TEST(HistoryStore, RecordsOfTheWrongSizeAreRejectedWithTheWholeBatch) {
    TempDir dir;
    HistoryStore store = HistoryStore::open_for_writing(dir.path().string() + "/h.db");
    std::vector<StoredRecord> in = {stored_record("a", 1, 1), stored_record("a", 2, 2)};
    in[1].bytes.pop_back();
    EXPECT_THROW(store.insert(in), HistoryError);
    EXPECT_EQ(store.count(), 0);
}

TEST(HistoryWriter, StoresEverythingAddedBeforeFlushAndOnDestruction) {
    TempDir dir;
    const std::string path = dir.path().string() + "/h.db";
    HistoryStore store = HistoryStore::open_for_writing(path);
    std::vector<uint64_t> commits;
    {
        smdgw::HistoryWriter w(
            store, {0, 0}, [] { return int64_t{0}; }, [&](uint64_t n) { commits.push_back(n); });
        for (uint32_t k = 0; k < 300; ++k) w.add(stored_record("a", k, k));
        w.flush();
        EXPECT_EQ(w.committed(), 300u);
        EXPECT_EQ(store.count(), 300);
        for (uint32_t k = 300; k < 310; ++k) w.add(stored_record("a", k, k));
    }
    EXPECT_EQ(store.count(), 310);
    ASSERT_FALSE(commits.empty());
    EXPECT_EQ(commits.back(), 310u);
    std::vector<uint32_t> seqs;
    for (const auto& r : all_rows(store)) seqs.push_back(synthetic_seq(r.bytes));
    for (uint32_t k = 0; k < seqs.size(); ++k) ASSERT_EQ(seqs[k], k);
}

TEST(HistoryWriter, EveryCommitLeavesAtMostTheRowBoundAndWaitsForTheInterval) {
    TempDir dir;
    HistoryStore store = HistoryStore::open_for_writing(dir.path().string() + "/h.db");
    std::vector<StoredRecord> old;
    for (uint32_t k = 0; k < 9; ++k) old.push_back(stored_record("a", k, k));
    store.insert(old);  // from before a restart with a lower bound
    std::atomic<int> commits{0};
    {
        smdgw::HistoryWriter w(
            store, {0, 5}, [] { return int64_t{0}; }, [&](uint64_t) { ++commits; },
            smdgw::HistoryWriter::kDefaultQueueLimit, std::chrono::seconds(60));
        w.add(stored_record("a", 100, 100));  // the first commit comes at once
        w.flush();
        EXPECT_EQ(store.count(), 5);
        // Within the interval nothing is committed ...
        for (uint32_t k = 101; k < 104; ++k) w.add(stored_record("a", k, k));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(w.committed(), 1u);
        EXPECT_EQ(w.queued(), 3u);
        // ... until a flush or the end, each one commit for all.
        w.flush();
        EXPECT_EQ(w.committed(), 4u);
        EXPECT_EQ(store.count(), 5);
        for (uint32_t k = 104; k < 110; ++k) w.add(stored_record("b", k, k));
    }
    EXPECT_EQ(commits, 3);
    EXPECT_EQ(store.count(), 10);
    EXPECT_EQ(synthetic_seq(store.newest("a")->bytes), 103u);
    EXPECT_EQ(synthetic_seq(store.newest("b")->bytes), 109u);
}

TEST(HistoryWriter, AFailingBatchIsCountedAndTheNextOnesStillStored) {
    TempDir dir;
    HistoryStore store = HistoryStore::open_for_writing(dir.path().string() + "/h.db");
    smdgw::HistoryWriter w(store, {0, 0}, [] { return int64_t{0}; });
    StoredRecord bad = stored_record("a", 1, 1);
    bad.bytes.resize(10);
    testing::internal::CaptureStderr();
    w.add(bad);
    w.flush();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("1 record(s) not stored"), std::string::npos) << err;
    w.add(stored_record("a", 2, 2));
    w.flush();
    EXPECT_EQ(w.failed(), 1u);
    EXPECT_EQ(w.committed(), 1u);
    EXPECT_EQ(store.count(), 1);
}

// A child stores records as fast as it can and reports every commit through a
// pipe; it is killed with SIGKILL while writing. Every record it reported as
// committed must be in the database, which must pass integrity_check.
TEST(HistoryDurability, CommittedRecordsSurviveSigkill) {
    TempDir dir;
    const std::string path = dir.path().string() + "/h.db";
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(fds[0]);
        try {
            HistoryStore store = HistoryStore::open_for_writing(path);
            smdgw::HistoryWriter w(
                store, {0, 50}, [] { return int64_t{0}; },
                [&](uint64_t n) {
                    if (::write(fds[1], &n, sizeof n) != sizeof n) ::_exit(3);
                });
            for (uint32_t k = 0;; ++k) {
                w.add(stored_record(k % 2 ? "b" : "a", k, k));
                if (k % 8 == 7) w.flush();
            }
        } catch (...) {
        }
        ::_exit(2);
    }
    ::close(fds[1]);
    uint64_t committed = 0, n = 0;
    while (committed < 400 && ::read(fds[0], &n, sizeof n) == sizeof n) committed = n;
    ::kill(pid, SIGKILL);
    // Reports written before the kill are still in the pipe.
    while (::read(fds[0], &n, sizeof n) == sizeof n) committed = n;
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself: " << status;
    ASSERT_GE(committed, 400u);

    EXPECT_EQ(sql_text(path, "PRAGMA integrity_check"), "ok");
    HistoryStore store = HistoryStore::open_for_reading(path);
    // Records are added in sequence and committed in order, so the first
    // `committed` ones are in; retention keeps the newest 50 per device.
    const auto rows = all_rows(store);
    std::set<uint32_t> seqs;
    for (const auto& r : rows) {
        seqs.insert(synthetic_seq(r.bytes));
        EXPECT_EQ(r.bytes, testsupport::synthetic_record(synthetic_seq(r.bytes), 53.5f));
    }
    const uint32_t last = static_cast<uint32_t>(committed - 1);
    for (uint32_t k = last >= 90 ? last - 90 : 0; k <= last; ++k) {
        EXPECT_EQ(seqs.count(k), 1u) << "committed record " << k << " lost";
    }
}

}  // namespace
