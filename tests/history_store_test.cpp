// The history database: records come back byte for byte, the newest one per
// device, a query leaves no read open on its connection, retention removes
// exactly what is beyond its bounds, foreign files are refused untouched,
// committed rows survive SIGKILL, and the roll-ups per minute and hour equal
// a recomputation from the raw rounds, across a restart and a SIGKILL.

#include "tools/smdgw/history/history_store.h"

#include <gtest/gtest.h>
#include <json/reader.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/plant_sections.h"
#include "tests/support/run_process.h"
#include "tests/support/sql_text.h"
#include "tests/support/synthetic_record.h"
#include "tests/support/temp_dir.h"
#include "tools/smdgw/history/history_columns.h"
#include "tools/smdgw/history/history_export.h"
#include "tools/smdgw/history/history_writer.h"
#include "tools/smdgw/http/history_resolution.h"

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

// The store keeps its statements prepared for the connection's life. A
// query that left one unfinished (a single row read, a callback that threw)
// would hold a read open: the connection would go on seeing the file as it
// was, and its next write would fail.
TEST(HistoryStore, QueriesLeaveNoReadOpenOnTheirConnection) {
    TempDir dir;
    const std::string path = dir.path().string() + "/h.db";
    HistoryStore store = HistoryStore::open_for_writing(path);
    std::vector<StoredRecord> first = {stored_record("plant1", 1000, 1),
                                       stored_record("plant1", 1001, 2)};
    store.insert(first);
    HistoryFilter f;
    f.device = "plant1";
    const std::vector<std::pair<const char*, std::function<void()>>> queries = {
        {"newest", [&] { store.newest("plant1"); }},
        {"count_rounds", [&] { store.count_rounds(f); }},
        {"count_rollups", [&] { store.count_rollups(0, f); }},
        {"newest_rollup_start", [&] { store.newest_rollup_start(0, "plant1"); }},
        {"devices", [&] { store.devices(); }},
        {"active_alarms", [&] { store.active_alarms("plant1"); }},
        {"for_each, its callback throwing",
         [&] {
             EXPECT_THROW(store.for_each(f, [](const StoredRecord&) { throw std::out_of_range("x"); }),
                          std::out_of_range);
         }},
        {"for_each_newest, its callback throwing",
         [&] {
             EXPECT_THROW(store.for_each_newest(f, false, 5,
                                                [](const StoredRecord&) {
                                                    throw std::out_of_range("x");
                                                }),
                          std::out_of_range);
         }},
        {"count", [&] { store.count(); }},
    };
    int64_t time = 2000;
    uint32_t seq = 10;
    for (const auto& [name, query] : queries) {
        SCOPED_TRACE(name);
        query();
        {
            HistoryStore other = HistoryStore::open_for_writing(path);
            std::vector<StoredRecord> more = {stored_record("plant1", ++time, ++seq)};
            other.insert(more);
        }
        EXPECT_EQ(store.count(), static_cast<int64_t>(seq) - 8);
        const auto n = store.newest("plant1");
        ASSERT_TRUE(n.has_value());
        EXPECT_EQ(n->time, time);
        std::vector<StoredRecord> own = {stored_record("plant2", time, ++seq)};
        EXPECT_NO_THROW(store.insert(own));
    }
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

// A child stores records through a writer (write adds them, in a loop that
// never ends) and reports every commit through a pipe; it is killed with
// SIGKILL once at least `until` records are committed, while writing.
// Returns the last count it reported.
uint64_t write_until_killed(const std::string& path, const Retention& retention, uint64_t until,
                            const std::function<void(smdgw::HistoryWriter&)>& write) {
    int fds[2];
    if (::pipe(fds) != 0) return 0;
    const pid_t pid = ::fork();
    if (pid < 0) return 0;
    if (pid == 0) {
        ::close(fds[0]);
        try {
            HistoryStore store = HistoryStore::open_for_writing(path);
            smdgw::HistoryWriter w(
                store, retention, [] { return int64_t{0}; },
                [&](uint64_t n) {
                    if (::write(fds[1], &n, sizeof n) != sizeof n) ::_exit(3);
                });
            write(w);
        } catch (...) {
        }
        ::_exit(2);
    }
    ::close(fds[1]);
    uint64_t committed = 0, n = 0;
    while (committed < until && ::read(fds[0], &n, sizeof n) == sizeof n) committed = n;
    ::kill(pid, SIGKILL);
    // Reports written before the kill are still in the pipe.
    while (::read(fds[0], &n, sizeof n) == sizeof n) committed = n;
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself: " << status;
    return committed;
}

// Every record the child reported as committed must be in the database,
// which must pass integrity_check.
TEST(HistoryDurability, CommittedRecordsSurviveSigkill) {
    TempDir dir;
    const std::string path = dir.path().string() + "/h.db";
    const uint64_t committed = write_until_killed(path, {0, 50}, 400, [](smdgw::HistoryWriter& w) {
        for (uint32_t k = 0;; ++k) {
            w.add(stored_record(k % 2 ? "b" : "a", k, k));
            if (k % 8 == 7) w.flush();
        }
    });
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

// Roll-ups recomputed from the raw rounds, plainly: per device and span
// start, each column's figures over the complete rounds with a number there.
struct Figures {
    float min = 0, max = 0, last = 0;
    double sum = 0;
    uint32_t count = 0;
};
struct Recomputed {
    uint32_t rounds = 0;
    std::vector<Figures> columns;
};
using RecomputedSpans = std::map<std::pair<std::string, int64_t>, Recomputed>;

RecomputedSpans recompute(HistoryStore& store, int64_t seconds) {
    RecomputedSpans out;
    std::vector<float> values;
    const std::vector<std::string> members = smdgw::analog_column_members();
    store.for_each({}, [&](const StoredRecord& r) {
        int64_t start = r.time - r.time % seconds;
        Recomputed& u = out[{r.device, start}];
        ++u.rounds;
        smdgw::analog_values(r.bytes.data(), values);
        u.columns.resize(values.size());
        for (size_t k = 0; k < values.size(); ++k) {
            // Only the sections the round refreshed count.
            const auto section = smd::section_of_field(members[k].c_str());
            const bool fresh = section ? r.fresh[static_cast<size_t>(*section)] : r.complete;
            if (std::isnan(values[k]) || !fresh) continue;
            Figures& f = u.columns[k];
            f.min = f.count ? std::min(f.min, values[k]) : values[k];
            f.max = f.count ? std::max(f.max, values[k]) : values[k];
            f.last = values[k];
            f.sum += values[k];
            ++f.count;
        }
    });
    return out;
}

// Every stored roll-up equals its recomputation; every span is stored but
// the newest of each device (still open). Returns how many were compared.
size_t expect_rollups_match(HistoryStore& store) {
    size_t compared = 0;
    for (size_t span = 0; span < smdgw::kRollupSpanCount; ++span) {
        RecomputedSpans want = recompute(store, smdgw::kRollupSpans[span].seconds);
        std::map<std::string, int64_t> open;
        for (const auto& kv : want) open[kv.first.first] = kv.first.second;
        store.for_each_rollup(span, {}, [&](const smdgw::Rollup& u) {
            const auto it = want.find({u.device, u.start});
            ASSERT_NE(it, want.end()) << u.device << " " << u.start << ": no rounds behind it";
            const Recomputed& w = it->second;
            EXPECT_EQ(u.rounds, w.rounds) << u.device << " " << u.start;
            ASSERT_EQ(u.columns.size(), w.columns.size());
            for (size_t k = 0; k < w.columns.size(); ++k) {
                const Figures& f = w.columns[k];
                const smdgw::ColumnStats& c = u.columns[k];
                ASSERT_EQ(c.count, f.count) << u.start << " column " << k;
                if (f.count == 0) continue;
                EXPECT_EQ(c.min, f.min);
                EXPECT_EQ(c.max, f.max);
                EXPECT_EQ(c.last, f.last);
                const double mean = f.sum / f.count;
                EXPECT_NEAR(c.mean(), mean, std::fabs(mean) * 1e-6 + 1e-30);
            }
            ++compared;
            want.erase(it);
        });
        for (const auto& kv : want)
            EXPECT_EQ(open[kv.first.first], kv.first.second)
                << "span " << smdgw::kRollupSpans[span].name << " of " << kv.first.first
                << " at " << kv.first.second << " was never stored";
    }
    return compared;
}

// A round every 5.6 s from 10:00:00; dc.v moves, every seventh lost the
// DC panels, every eleventh the rectifiers.
StoredRecord plant_round(const std::string& device, uint32_t k) {
    StoredRecord r = stored_record(device, 1772359200 + k * 56 / 10, k,
                                   50.0f + static_cast<float>((k * 7) % 13) * 0.1f);
    r.fresh[static_cast<size_t>(smd::Section::Dc)] = k % 7 != 3;
    r.fresh[static_cast<size_t>(smd::Section::Rectifiers)] = k % 11 != 5;
    r.complete = r.fresh[0] && r.fresh[1] && r.fresh[2];
    return r;
}

Retention unbounded() {
    Retention r;
    r.max_age_seconds = r.max_rows_per_device = 0;
    r.rollup_max_age_seconds[0] = r.rollup_max_age_seconds[1] = 0;
    return r;
}

TEST(HistoryRollup, EqualARecomputationAcrossARestartAndServeCharts) {
    TempDir dir;
    const std::string path = dir.path().string() + "/h.db";
    const auto write_rounds = [&](uint32_t from, uint32_t to) {
        HistoryStore store = HistoryStore::open_for_writing(path);
        smdgw::HistoryWriter w(store, unbounded(), [] { return int64_t{1772359200}; });
        for (uint32_t k = from; k < to; ++k) {
            w.add(plant_round("a", k));
            if (k % 3 == 0) w.add(plant_round("b", k));
            if (k % 4 == 0) w.flush();
        }
    };
    // Stopped mid-minute and mid-hour: the next start goes on with both.
    write_rounds(0, 913);
    write_rounds(913, 1500);
    HistoryStore store = HistoryStore::open_for_reading(path);
    EXPECT_GT(expect_rollups_match(store), 2 * 130u);

    smdgw::http::HistoryQuery q;
    q.device = "a";
    q.fields = {"dc.v", "channels[1].out_i"};
    q.resolution = "1m";
    auto answer = [&] {
        Json::Value v;
        std::istringstream text(smdgw::http::run_history_resolution(path, q));
        EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), text, &v, nullptr));
        return v;
    };
    const Json::Value m = answer();
    EXPECT_EQ(m["resolution"].asString(), "1m");
    ASSERT_EQ(m["rows"].size(), store.count_rollups(0, {std::string("a"), {}, {}}));
    for (Json::ArrayIndex k = 0; k < m["rows"].size(); ++k) {
        EXPECT_LE(m["min"][k][1].asDouble(), m["rows"][k][1].asDouble());
        EXPECT_GE(m["max"][k][1].asDouble(), m["rows"][k][1].asDouble());
        EXPECT_EQ(m["rows"][k][2].asDouble(), 2.5);
    }
    // auto: 1500 rounds are few enough to be drawn as they are; the hours
    // since 11:00 only as roll-ups.
    q.resolution = "auto";
    EXPECT_EQ(answer()["resolution"].asString(), "raw");
    std::string error;
    EXPECT_FALSE(smdgw::http::parse_history_resolution("5m", q, error));
    EXPECT_NE(error.find("\"5m\""), std::string::npos) << error;

    // The CLI's export of the hours: one header, a row per closed hour.
    std::ostringstream csv;
    EXPECT_EQ(smdgw::export_rollups(store, 1, {std::string("a"), {}, {}},
                                    smdgw::ExportFormat::Csv, csv),
              2);
    EXPECT_NE(csv.str().find(",dc.v.min,dc.v.max,dc.v.mean,dc.v.last,dc.v.count,"),
              std::string::npos);
}

// A child writes rounds, a roll-up closing every minute, and is killed with
// SIGKILL while writing; a restart goes on from what was committed. Every
// roll-up must equal a recomputation from the raw rounds: none lost, no
// half-minute counted twice.
TEST(HistoryDurability, RollupsSurviveSigkillAndCountNothingTwice) {
    TempDir dir;
    const std::string path = dir.path().string() + "/h.db";
    const uint64_t committed = write_until_killed(path, unbounded(), 700, [](smdgw::HistoryWriter& w) {
        for (uint32_t k = 0;; ++k) {
            w.add(plant_round("a", k));
            if (k % 3 == 2) w.flush();
        }
    });
    ASSERT_GE(committed, 700u);
    uint32_t next = 0;
    {
        HistoryStore store = HistoryStore::open_for_writing(path);
        next = testsupport::synthetic_seq(store.newest("a")->bytes) + 1;
        smdgw::HistoryWriter w(store, unbounded(), [] { return int64_t{1772359200}; });
        for (uint32_t k = next; k < next + 150; ++k) w.add(plant_round("a", k));
    }
    EXPECT_EQ(sql_text(path, "PRAGMA integrity_check"), "ok");
    HistoryStore store = HistoryStore::open_for_reading(path);
    EXPECT_GE(expect_rollups_match(store), 70u);
}

TEST(HistoryAlarmLog, KeepsEveryChangeWithinItsCapAndExportsIt) {
    TempDir dir;
    const std::string path = dir.path().string() + "/h.db";
    {
        HistoryStore store = HistoryStore::open_for_writing(path);
        Retention r = unbounded();
        r.alarm_log_max_rows = 5;
        smdgw::HistoryWriter w(store, r, [] { return int64_t{1772359200}; });
        for (int k = 0; k < 12; ++k) {
            smdgw::AlarmLogEntry e;
            e.time = 1772359200 + k;
            e.device = "plant1";
            e.change = k % 2 == 0 ? smdgw::AlarmLogChange::Raised : smdgw::AlarmLogChange::Cleared;
            e.alarm_id = "0x001";
            e.key = "out_v";
            e.level = 2;
            e.value = std::to_string(40 + k);
            e.message = "输出电压过低, \"low\"";
            w.log_alarm(e);
            if (k % 5 == 0) w.flush();
        }
    }
    HistoryStore store = HistoryStore::open_for_reading(path);
    std::ostringstream csv;
    EXPECT_EQ(smdgw::export_alarm_log(store, {}, smdgw::ExportFormat::Csv, csv), 5);
    const std::string text = csv.str();
    EXPECT_EQ(text.find("time,unix_time,device,change,alarm_id,key,seq,level,value,message,"
                        "reason\r\n"),
              0u)
        << text;
    EXPECT_EQ(text.find(",45,"), std::string::npos) << "the oldest go first";
    EXPECT_NE(text.find(",plant1,cleared,0x001,out_v,0,2,51,\"输出电压过低, \"\"low\"\"\",\r\n"),
              std::string::npos)
        << text;
    std::ostringstream json;
    HistoryFilter f;
    f.since = 1772359200 + 10;
    EXPECT_EQ(smdgw::export_alarm_log(store, f, smdgw::ExportFormat::Json, json), 2);
    EXPECT_NE(json.str().find("\"change\":\"raised\""), std::string::npos) << json.str();
}

}  // namespace
