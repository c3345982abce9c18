#include "tools/smdgw/history/history_store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "record/veltra_record.h"
#include "tools/smdgw/history/sqlite_statement.h"

namespace smdgw {

namespace {

using sqlite::Statement;

// Rows deleted per transaction while pruning, so a writer never waits long.
constexpr int kPruneChunk = 1000;

// Waits this long for another connection's lock before giving up.
constexpr int kBusyTimeoutMs = 5000;

const char* const kCreateSchema =
    "CREATE TABLE history ("
    " id INTEGER PRIMARY KEY,"
    " device TEXT NOT NULL,"
    " data_id INTEGER NOT NULL,"
    " time INTEGER NOT NULL,"
    " record BLOB NOT NULL CHECK (length(record) = 2704));"
    "CREATE INDEX history_device_time ON history(device, time);"
    "CREATE INDEX history_time ON history(time);";

static_assert(kRecordSize == 2704, "the table's CHECK holds the record size");

StoredRecord row_at(const Statement& s) {
    StoredRecord r;
    r.id = s.int_at(0);
    r.device = s.text_at(1);
    r.data_id = static_cast<uint32_t>(s.int_at(2));
    r.time = s.int_at(3);
    r.bytes = s.blob_at(4);
    return r;
}

const char* const kRowColumns = "SELECT id, device, data_id, time, record FROM history ";

}  // namespace

HistoryStore::HistoryStore(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}

HistoryStore::HistoryStore(HistoryStore&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)), path_(std::move(other.path_)) {}

HistoryStore::~HistoryStore() { sqlite3_close_v2(db_); }

void HistoryStore::fail(const std::string& what) const {
    throw HistoryError(path_ + ": " + what + ": " + (db_ ? sqlite3_errmsg(db_) : "no connection"));
}

void HistoryStore::exec(const char* sql) {
    char* msg = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
        const std::string text = msg ? msg : "unknown error";
        sqlite3_free(msg);
        throw HistoryError(path_ + ": " + text);
    }
}

HistoryStore HistoryStore::open_for_writing(const std::string& path) {
    sqlite3* db = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    HistoryStore store(db, path);
    if (rc != SQLITE_OK) store.fail("cannot open");
    // SQLite falls back to reading when the file is not writable.
    if (sqlite3_db_readonly(db, "main") == 1) {
        throw HistoryError(path + ": cannot open for writing: permission denied");
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    store.check_schema(true);
    // WAL lets exports read while rounds are stored; FULL makes every commit
    // reach the disk before the writer moves on.
    store.exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;");
    return store;
}

HistoryStore HistoryStore::open_for_reading(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        throw HistoryError(path + ": cannot open: " + std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) throw HistoryError(path + ": not a regular file");
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    HistoryStore store(db, path);
    if (rc != SQLITE_OK) store.fail("cannot open");
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    store.check_schema(false);
    return store;
}

// Reads the header fields first: only a file that is ours, or an empty
// database about to become ours, is accepted.
void HistoryStore::check_schema(bool may_create) {
    int64_t app_id = 0, version = 0, objects = 0;
    {
        Statement s(db_, "PRAGMA application_id");
        int rc = s.prepare_result() == SQLITE_OK ? s.step() : s.prepare_result();
        if (rc == SQLITE_NOTADB) throw HistoryError(path_ + ": not a SQLite database");
        if (rc != SQLITE_ROW) fail("cannot read");
        app_id = s.int_at(0);
    }
    {
        Statement s(db_, "PRAGMA user_version");
        if (s.step() != SQLITE_ROW) fail("cannot read");
        version = s.int_at(0);
    }
    {
        Statement s(db_, "SELECT count(*) FROM sqlite_master");
        if (s.step() != SQLITE_ROW) fail("cannot read");
        objects = s.int_at(0);
    }
    if (app_id == kApplicationId) {
        if (version > kSchemaVersion) {
            throw HistoryError(path_ + ": history schema version " + std::to_string(version) +
                               " is newer than this smdgw understands (" +
                               std::to_string(kSchemaVersion) + ")");
        }
        if (version != kSchemaVersion) {
            throw HistoryError(path_ + ": unknown history schema version " +
                               std::to_string(version));
        }
        Statement s(db_, "SELECT id, device, data_id, time, record FROM history LIMIT 0");
        if (s.prepare_result() != SQLITE_OK) {
            throw HistoryError(path_ + ": history table missing or incomplete");
        }
        return;
    }
    if (app_id == 0 && objects == 0) {
        if (!may_create) throw HistoryError(path_ + ": empty database, holds no smdgw history");
        exec("BEGIN IMMEDIATE");
        try {
            exec(kCreateSchema);
            exec(("PRAGMA application_id=" + std::to_string(kApplicationId) +
                  "; PRAGMA user_version=" + std::to_string(kSchemaVersion))
                     .c_str());
            exec("COMMIT");
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
        return;
    }
    throw HistoryError(path_ + ": a SQLite database of another program or schema, not an " +
                       "smdgw history");
}

void HistoryStore::insert(std::vector<StoredRecord>& records) {
    if (records.empty()) return;
    exec("BEGIN IMMEDIATE");
    try {
        Statement s(db_, "INSERT INTO history(device, data_id, time, record) VALUES(?,?,?,?)");
        if (s.prepare_result() != SQLITE_OK) fail("cannot store");
        for (StoredRecord& r : records) {
            s.bind(1, r.device);
            s.bind(2, static_cast<int64_t>(r.data_id));
            s.bind(3, r.time);
            s.bind_blob(4, r.bytes);
            if (s.step() != SQLITE_DONE) fail("cannot store a record of \"" + r.device + "\"");
            r.id = sqlite3_last_insert_rowid(db_);
            s.reset();
        }
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    exec("COMMIT");
}

std::optional<StoredRecord> HistoryStore::newest(const std::string& device) {
    Statement s(db_,
                (std::string(kRowColumns) + "WHERE device = ?1 ORDER BY time DESC, id DESC LIMIT 1")
                    .c_str());
    if (s.prepare_result() != SQLITE_OK) fail("cannot read");
    s.bind(1, device);
    const int rc = s.step();
    if (rc == SQLITE_DONE) return std::nullopt;
    if (rc != SQLITE_ROW) fail("cannot read");
    return row_at(s);
}

int64_t HistoryStore::prune(const Retention& retention, int64_t now) {
    int64_t removed = 0;
    // Deletes in chunks until a chunk comes back short.
    auto delete_chunks = [&](Statement& s, const std::function<void(Statement&)>& bind) {
        for (;;) {
            bind(s);
            if (s.step() != SQLITE_DONE) fail("cannot prune");
            const int n = sqlite3_changes(db_);
            removed += n;
            s.reset();
            if (n < kPruneChunk) break;
        }
    };
    if (retention.max_age_seconds > 0) {
        Statement s(db_,
                    "DELETE FROM history WHERE id IN "
                    "(SELECT id FROM history WHERE time < ?1 LIMIT ?2)");
        const int64_t cutoff = now - retention.max_age_seconds;
        delete_chunks(s, [&](Statement& st) {
            st.bind(1, cutoff);
            st.bind(2, kPruneChunk);
        });
    }
    if (retention.max_rows_per_device > 0) {
        std::vector<std::string> devices;
        {
            Statement s(db_, "SELECT DISTINCT device FROM history");
            while (s.step() == SQLITE_ROW) devices.push_back(s.text_at(0));
        }
        for (const std::string& device : devices) {
            // The newest row beyond the bound; it and everything older goes.
            Statement find(db_,
                           "SELECT time, id FROM history WHERE device = ?1 "
                           "ORDER BY time DESC, id DESC LIMIT 1 OFFSET ?2");
            find.bind(1, device);
            find.bind(2, retention.max_rows_per_device);
            if (find.step() != SQLITE_ROW) continue;
            const int64_t t = find.int_at(0), id = find.int_at(1);
            Statement s(db_,
                        "DELETE FROM history WHERE id IN (SELECT id FROM history WHERE "
                        "device = ?1 AND (time < ?2 OR (time = ?2 AND id <= ?3)) LIMIT ?4)");
            delete_chunks(s, [&](Statement& st) {
                st.bind(1, device);
                st.bind(2, t);
                st.bind(3, id);
                st.bind(4, kPruneChunk);
            });
        }
    }
    return removed;
}

void HistoryStore::for_each(const HistoryFilter& filter,
                            const std::function<void(const StoredRecord&)>& fn) {
    Statement s(db_, (std::string(kRowColumns) +
                      "WHERE (?1 IS NULL OR device = ?1) AND (?2 IS NULL OR time >= ?2) "
                      "AND (?3 IS NULL OR time <= ?3) ORDER BY time, id")
                         .c_str());
    if (s.prepare_result() != SQLITE_OK) fail("cannot read");
    if (filter.device) s.bind(1, *filter.device);
    if (filter.since) s.bind(2, *filter.since);
    if (filter.until) s.bind(3, *filter.until);
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) fn(row_at(s));
    if (rc != SQLITE_DONE) fail("cannot read");
}

int64_t HistoryStore::count() {
    Statement s(db_, "SELECT count(*) FROM history");
    if (s.step() != SQLITE_ROW) fail("cannot read");
    return s.int_at(0);
}

}  // namespace smdgw
