#include "tools/smdgw/history/history_store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <set>
#include <string_view>
#include <utility>

#include "record/veltra_record.h"
#include "tools/smdgw/core/safe_file.h"
#include "tools/smdgw/history/sqlite_statement.h"

namespace smdgw {

namespace {

using sqlite::Statement;

// Rows deleted per transaction while pruning, so a writer never waits long.
constexpr int kPruneChunk = 1000;
// The page size of a new history file (see check_schema).
constexpr int kPageSize = 512;
// The write-ahead log is copied into the database when it holds this much.
constexpr int64_t kWalCheckpointBytes = 4 * 1024 * 1024;

// Waits this long for another connection's lock before giving up.
constexpr int kBusyTimeoutMs = 1000;

// The alarms each device holds as raised; replaced per device on change.
#define SMDGW_ACTIVE_ALARMS_TABLE  \
    "CREATE TABLE active_alarms (" \
    " device TEXT NOT NULL,"       \
    " key TEXT NOT NULL,"          \
    " alarm_id TEXT NOT NULL,"     \
    " seq INTEGER NOT NULL,"       \
    " level INTEGER NOT NULL,"     \
    " message TEXT NOT NULL,"      \
    " since INTEGER NOT NULL,"     \
    " PRIMARY KEY (device, key, alarm_id, seq));"
// Who acknowledged a raised alarm, and whether it is shown as flapping.
#define SMDGW_ALARM_ACK_COLUMNS                                                     \
    "ALTER TABLE active_alarms ADD COLUMN ack_by TEXT NOT NULL DEFAULT '';"         \
    "ALTER TABLE active_alarms ADD COLUMN ack_comment TEXT NOT NULL DEFAULT '';"    \
    "ALTER TABLE active_alarms ADD COLUMN ack_at INTEGER NOT NULL DEFAULT 0;"       \
    "ALTER TABLE active_alarms ADD COLUMN flapping INTEGER NOT NULL DEFAULT 0;"
#define SMDGW_COMPLETE_COLUMN "complete INTEGER NOT NULL DEFAULT 1 CHECK (complete IN (0, 1))"
// Whether the round refreshed each section of the plant.
#define SMDGW_FRESH_COLUMN(name) name " INTEGER NOT NULL DEFAULT 1 CHECK (" name " IN (0, 1))"
#define SMDGW_AC_FRESH SMDGW_FRESH_COLUMN("ac_fresh")
#define SMDGW_RECTIFIERS_FRESH SMDGW_FRESH_COLUMN("rectifiers_fresh")
#define SMDGW_DC_FRESH SMDGW_FRESH_COLUMN("dc_fresh")
// The battery estimate after the round (history_battery.h); NULL for a
// device without a battery, and for what the estimate did not know.
#define SMDGW_BATTERY_COLUMNS                                                  \
    "ALTER TABLE history ADD COLUMN battery_state INTEGER;"                    \
    "ALTER TABLE history ADD COLUMN battery_charge REAL;"                      \
    "ALTER TABLE history ADD COLUMN battery_runtime_s REAL;"                   \
    "ALTER TABLE history ADD COLUMN battery_learned_capacity_ah REAL;"
// A roll-up per device and minute or hour; stats holds the columns' figures
// (encode_columns).
#define SMDGW_ROLLUP_TABLE(name)     \
    "CREATE TABLE " name " ("        \
    " device TEXT NOT NULL,"         \
    " start INTEGER NOT NULL,"       \
    " rounds INTEGER NOT NULL,"      \
    " stats BLOB NOT NULL,"          \
    " PRIMARY KEY (device, start));"
// Every alarm change, oldest first, and who acknowledged an alarm or took
// that back.
#define SMDGW_ALARM_LOG_COLUMNS                                                \
    " id INTEGER PRIMARY KEY,"                                                 \
    " time INTEGER NOT NULL,"                                                  \
    " device TEXT NOT NULL,"                                                   \
    " change TEXT NOT NULL CHECK (change IN ('raised', 'cleared', 'acknowledged', " \
    "'unacknowledged')),"                                                      \
    " alarm_id TEXT NOT NULL,"                                                 \
    " key TEXT NOT NULL,"                                                      \
    " seq INTEGER NOT NULL,"                                                   \
    " level INTEGER NOT NULL,"                                                 \
    " value TEXT NOT NULL,"                                                    \
    " message TEXT NOT NULL,"                                                  \
    " reason TEXT NOT NULL);"
#define SMDGW_ALARM_LOG_TABLE                                                  \
    "CREATE TABLE alarm_log (" SMDGW_ALARM_LOG_COLUMNS                         \
    "CREATE INDEX alarm_log_time ON alarm_log(time);"
#define SMDGW_ROLLUPS_AND_LOG \
    SMDGW_ROLLUP_TABLE("rollup_1m") SMDGW_ROLLUP_TABLE("rollup_1h") SMDGW_ALARM_LOG_TABLE
static_assert(std::string_view(kRollupSpans[0].table) == "rollup_1m" &&
                  std::string_view(kRollupSpans[1].table) == "rollup_1h",
              "the schema creates a table per span");

const char* const kCreateSchema =
    "CREATE TABLE history ("
    " id INTEGER PRIMARY KEY,"
    " device TEXT NOT NULL,"
    " data_id INTEGER NOT NULL,"
    " time INTEGER NOT NULL,"
    " record BLOB NOT NULL CHECK (length(record) = 2704),"
    " " SMDGW_COMPLETE_COLUMN ","
    " " SMDGW_AC_FRESH ","
    " " SMDGW_RECTIFIERS_FRESH ","
    " " SMDGW_DC_FRESH
    ");"
    "CREATE INDEX history_device_time ON history(device, time);"
    "CREATE INDEX history_time ON history(time);" SMDGW_ACTIVE_ALARMS_TABLE SMDGW_ROLLUPS_AND_LOG
        SMDGW_ALARM_ACK_COLUMNS SMDGW_BATTERY_COLUMNS;

// Version 1 to 2: rounds stored before were not judged; they count as complete.
const char* const kMigrate1To2 =
    "ALTER TABLE history ADD COLUMN " SMDGW_COMPLETE_COLUMN ";" SMDGW_ACTIVE_ALARMS_TABLE;
// Version 2 to 3: rounds stored before were judged as a whole; each section
// takes the round's flag.
const char* const kMigrate2To3 =
    "ALTER TABLE history ADD COLUMN " SMDGW_AC_FRESH ";"
    "ALTER TABLE history ADD COLUMN " SMDGW_RECTIFIERS_FRESH ";"
    "ALTER TABLE history ADD COLUMN " SMDGW_DC_FRESH ";"
    "UPDATE history SET ac_fresh = complete, rectifiers_fresh = complete, dc_fresh = complete;";

// The schema version that has the roll-ups and the alarm log.
constexpr int kRollupsSince = 4;

// Version 3 to 4: roll-ups and the alarm log start empty; the roll-ups of
// the rounds already stored are built at the next start (rebuild_rollups).
const char* const kMigrateAddRollups = SMDGW_ROLLUPS_AND_LOG;

// The schema version whose active alarms carry who acknowledged them.
constexpr int kAcksSince = 5;

// Version 4 to 5: alarms stored before were nobody's; the alarm log takes
// acknowledgements too (a CHECK is changed by copying the table).
const char* const kMigrateAddAcks = SMDGW_ALARM_ACK_COLUMNS
    "CREATE TABLE alarm_log_v5 (" SMDGW_ALARM_LOG_COLUMNS
    "INSERT INTO alarm_log_v5 SELECT * FROM alarm_log;"
    "DROP TABLE alarm_log;"
    "ALTER TABLE alarm_log_v5 RENAME TO alarm_log;"
    "CREATE INDEX alarm_log_time ON alarm_log(time);";

// The schema version whose rounds carry the battery estimate.
constexpr int kBatterySince = 6;

// Version 5 to 6: rounds stored before have no battery estimate.
const char* const kMigrateAddBattery = SMDGW_BATTERY_COLUMNS;

static_assert(kRecordSize == 2704, "the table's CHECK holds the record size");

StoredRecord row_at(const Statement& s) {
    StoredRecord r;
    r.id = s.int_at(0);
    r.device = s.text_at(1);
    r.data_id = static_cast<uint32_t>(s.int_at(2));
    r.time = s.int_at(3);
    r.bytes = s.blob_at(4);
    r.complete = s.int_at(5) != 0;
    for (size_t k = 0; k < r.fresh.size(); ++k) r.fresh[k] = s.int_at(6 + static_cast<int>(k)) != 0;
    if (!s.is_null(9)) {
        BatterySample b;
        b.state = static_cast<int>(s.int_at(9));
        const auto real = [&s](int col) {
            return s.is_null(col) ? std::optional<double>() : s.real_at(col);
        };
        b.charge = real(10);
        b.runtime_s = real(11);
        b.learned_capacity_ah = real(12);
        r.battery = b;
    }
    return r;
}

// A file of an older version, read without migrating, lacks the newer columns.
std::string row_columns(int version) {
    const std::string battery =
        version >= kBatterySince
            ? ", battery_state, battery_charge, battery_runtime_s, battery_learned_capacity_ah "
            : ", NULL, NULL, NULL, NULL ";
    if (version >= 3)
        return "SELECT id, device, data_id, time, record, complete, ac_fresh, rectifiers_fresh, "
               "dc_fresh" + battery + "FROM history ";
    if (version == 2)
        return "SELECT id, device, data_id, time, record, complete, complete, complete, complete" +
               battery + "FROM history ";
    return "SELECT id, device, data_id, time, record, 1, 1, 1, 1" + battery + "FROM history ";
}

// Alarm changes older than this go; none when the age is unbounded.
int64_t log_cutoff(const Retention& r, int64_t now) {
    return r.alarm_log_max_age() > 0 ? now - r.alarm_log_max_age() : INT64_MIN;
}

// A free name beside the file for the copy kept before a migration.
std::string backup_name(const std::string& path, int from) {
    const std::string base = path + ".v" + std::to_string(from) + ".bak";
    struct stat st {};
    if (::stat(base.c_str(), &st) != 0) return base;
    for (int k = 1; k < 100; ++k) {
        const std::string name = base + "." + std::to_string(k);
        if (::stat(name.c_str(), &st) != 0) return name;
    }
    return {};
}

}  // namespace

HistoryStore::HistoryStore(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}

HistoryStore::HistoryStore(HistoryStore&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)),
      path_(std::move(other.path_)),
      statements_(std::move(other.statements_)),
      rows_(std::move(other.rows_)),
      version_(other.version_),
      migration_(std::move(other.migration_)) {}

bool HistoryError::refused_data() const {
    const int primary = code_ & 0xff;
    return primary == SQLITE_CONSTRAINT || primary == SQLITE_TOOBIG || primary == SQLITE_MISMATCH;
}

bool HistoryError::file_unavailable() const {
    switch (code_ & 0xff) {
        case SQLITE_CANTOPEN:
        case SQLITE_IOERR:
        case SQLITE_FULL:
        case SQLITE_PERM:
        case SQLITE_READONLY:
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return true;
        default:
            return false;
    }
}

HistoryStore::~HistoryStore() {
    statements_.clear();  // finalised before the connection closes
    sqlite3_close_v2(db_);
}

Statement& HistoryStore::cached(const std::string& sql) {
    auto it = statements_.find(sql);
    if (it == statements_.end()) {
        auto s = std::make_unique<Statement>(db_, sql.c_str());
        if (s->prepare_result() != SQLITE_OK) fail("cannot prepare \"" + sql + "\"");
        it = statements_.emplace(sql, std::move(s)).first;
    }
    it->second->reset();
    return *it->second;
}

int64_t HistoryStore::device_rows(const std::string& device) {
    const auto it = rows_.find(device);
    if (it != rows_.end()) return it->second;
    Statement& s = cached("SELECT count(*) FROM history WHERE device = ?1");
    s.bind(1, device);
    if (s.step() != SQLITE_ROW) fail("cannot count the rows of \"" + device + "\"");
    const int64_t n = s.int_at(0);
    s.reset();
    rows_[device] = n;
    return n;
}

void HistoryStore::fail(const std::string& what) const {
    throw HistoryError(path_ + ": " + what + ": " + (db_ ? sqlite3_errmsg(db_) : "no connection"),
                       db_ ? sqlite3_extended_errcode(db_) : SQLITE_CANTOPEN);
}

void HistoryStore::exec(const char* sql) {
    char* msg = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &msg);
    if (rc != SQLITE_OK) {
        const std::string text = msg ? msg : "unknown error";
        sqlite3_free(msg);
        throw HistoryError(path_ + ": " + text, rc);
    }
}

void HistoryStore::set_busy_timeout(int milliseconds) { sqlite3_busy_timeout(db_, milliseconds); }

HistoryStore HistoryStore::open_for_writing(const std::string& path) {
    // Made here first so that the database, and its -wal and -shm files
    // after it, get the gateway's mode instead of SQLite's 0644.
    std::string error;
    if (!smdgw::prepare_database_file(path, error)) throw HistoryError(error, SQLITE_CANTOPEN);
    sqlite3* db = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    HistoryStore store(db, path);
    if (rc != SQLITE_OK) store.fail("cannot open");
    // SQLite falls back to reading when the file is not writable.
    if (sqlite3_db_readonly(db, "main") == 1) {
        throw HistoryError(path + ": cannot open for writing: permission denied", SQLITE_READONLY);
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    store.check_schema(true);
    // WAL lets exports read while rounds are stored. NORMAL: a commit is in
    // the log, safe from a killed process at once and on the disk when the
    // kernel writes it back (within about 30 s) or at the next checkpoint;
    // a sync per commit would rewrite the log's last page every time. A
    // power cut may so lose the last commits, never the file's consistency.
    store.exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
    // What spares the flash besides: deleted rows are not overwritten with
    // zeros on pages that are not written anyway (Debian's SQLite overwrites
    // them all), and the log is copied into the database once it holds
    // 4 MiB, whatever the page size, so that the pages every commit touches
    // are copied once for many commits.
    store.exec("PRAGMA secure_delete=FAST;");
    int64_t page_size = 4096;
    {
        Statement ps(db, "PRAGMA page_size");
        if (ps.step() == SQLITE_ROW && ps.int_at(0) > 0) page_size = ps.int_at(0);
    }
    store.exec(
        ("PRAGMA wal_autocheckpoint=" + std::to_string(kWalCheckpointBytes / page_size)).c_str());
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
        if (version < 1) {
            throw HistoryError(path_ + ": unknown history schema version " +
                               std::to_string(version));
        }
        {
            Statement s(db_, "SELECT id, device, data_id, time, record FROM history LIMIT 0");
            if (s.prepare_result() != SQLITE_OK) {
                throw HistoryError(path_ + ": history table missing or incomplete");
            }
        }
        version_ = static_cast<int>(version);
        if (version_ < kSchemaVersion && may_create) migrate(version_);
        return;
    }
    if (app_id == 0 && objects == 0) {
        if (!may_create) throw HistoryError(path_ + ": empty database, holds no smdgw history");
        // Small pages: a commit rewrites every page it touches (the rows'
        // pages, the edges of the table and of each index), so a 2704-byte
        // record in six 512-byte pages and index pages of 512 bytes write
        // less than half of what 4 KiB pages do, where each record takes a
        // page of its own. Only a new file gets it; in WAL mode the page size
        // is fixed.
        exec(("PRAGMA page_size=" + std::to_string(kPageSize)).c_str());
        // Before the first table too: pages the retention's deletes free can
        // be given back to the file system (PRAGMA incremental_vacuum).
        exec("PRAGMA auto_vacuum=INCREMENTAL");
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

// The copy comes first, through SQLite, so that it holds what the write-ahead
// log of an interrupted run still keeps; then one transaction changes the
// schema and the version together.
void HistoryStore::migrate(int from) {
    const std::string backup = backup_name(path_, from);
    if (backup.empty())
        throw HistoryError(path_ + ": no free name for the copy kept before " +
                           "migrating the history schema");
    {
        Statement s(db_, "VACUUM INTO ?1");
        if (s.prepare_result() != SQLITE_OK) fail("cannot copy before migrating");
        s.bind(1, backup);
        if (s.step() != SQLITE_DONE) fail("cannot copy to " + backup + " before migrating");
    }
    exec("BEGIN IMMEDIATE");
    try {
        if (from < 2) exec(kMigrate1To2);
        if (from < 3) exec(kMigrate2To3);
        if (from < kRollupsSince) exec(kMigrateAddRollups);
        if (from < kAcksSince) exec(kMigrateAddAcks);
        if (from < kBatterySince) exec(kMigrateAddBattery);
        exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    migration_.from = from;
    migration_.backup = backup;
    version_ = kSchemaVersion;
}

void HistoryStore::insert(std::vector<StoredRecord>& records) { write(records, {}); }

const char* alarm_change_name(AlarmLogChange change) {
    switch (change) {
        case AlarmLogChange::Raised: return "raised";
        case AlarmLogChange::Cleared: return "cleared";
        case AlarmLogChange::Acknowledged: return "acknowledged";
        case AlarmLogChange::Unacknowledged: return "unacknowledged";
    }
    return "cleared";
}

AlarmLogChange alarm_change_of(const std::string& name) {
    for (AlarmLogChange c : {AlarmLogChange::Raised, AlarmLogChange::Acknowledged,
                             AlarmLogChange::Unacknowledged})
        if (name == alarm_change_name(c)) return c;
    return AlarmLogChange::Cleared;
}

void HistoryStore::write(std::vector<StoredRecord>& records,
                         const std::vector<StoredAlarms>& alarms, const Retention* trim,
                         int64_t now) {
    HistoryBatch batch;
    batch.records.swap(records);
    batch.alarms = alarms;
    try {
        write(batch, trim, now);
    } catch (...) {
        records.swap(batch.records);
        throw;
    }
    records.swap(batch.records);
}

void HistoryStore::store_rollup(const Rollup& u) {
    const std::string table = kRollupSpans[u.span].table;
    {
        // The usual case: a span not stored yet, one statement.
        Statement& s = cached("INSERT INTO " + table +
                              "(device, start, rounds, stats) VALUES(?,?,?,?) "
                              "ON CONFLICT(device, start) DO NOTHING");
        s.bind(1, u.device);
        s.bind(2, u.start);
        s.bind(3, static_cast<int64_t>(u.rounds));
        const std::vector<unsigned char> blob = encode_columns(u.columns);
        s.bind_blob(4, blob);
        const int rc = s.step();
        s.reset();
        if (rc != SQLITE_DONE) fail("cannot store the roll-ups of \"" + u.device + "\"");
        if (sqlite3_changes(db_) == 1) return;
    }
    // One already stored under the same start (the clock went back) is
    // folded in, so no round is lost or counted twice.
    Rollup merged;
    merged.span = u.span;
    {
        Statement find(db_, ("SELECT rounds, stats FROM " + table +
                             " WHERE device = ?1 AND start = ?2")
                                .c_str());
        find.bind(1, u.device);
        find.bind(2, u.start);
        if (find.step() != SQLITE_ROW) fail("cannot read the roll-ups of \"" + u.device + "\"");
        merged.rounds = static_cast<uint32_t>(find.int_at(0));
        const std::vector<unsigned char> blob = find.blob_at(1);
        decode_columns(blob.data(), blob.size(), merged.columns);
    }
    merged.merge(u);
    Statement s(db_, ("UPDATE " + table + " SET rounds = ?3, stats = ?4 WHERE device = ?1 AND start = ?2")
                         .c_str());
    s.bind(1, u.device);
    s.bind(2, u.start);
    s.bind(3, static_cast<int64_t>(merged.rounds));
    const std::vector<unsigned char> blob = encode_columns(merged.columns);
    s.bind_blob(4, blob);
    if (s.step() != SQLITE_DONE) fail("cannot store the roll-ups of \"" + u.device + "\"");
}

void HistoryStore::write(HistoryBatch& batch, const Retention* trim, int64_t now) {
    if (batch.empty()) return;
    std::vector<StoredRecord>& records = batch.records;
    const std::vector<StoredAlarms>& alarms = batch.alarms;
    exec("BEGIN IMMEDIATE");
    try {
        Statement& s = cached(
            "INSERT INTO history(device, data_id, time, record, complete, ac_fresh, "
            "rectifiers_fresh, dc_fresh, battery_state, battery_charge, battery_runtime_s, "
            "battery_learned_capacity_ah) VALUES(?,?,?,?,?,?,?,?,?,?,?,?)");
        for (StoredRecord& r : records) {
            s.bind(1, r.device);
            s.bind(2, static_cast<int64_t>(r.data_id));
            s.bind(3, r.time);
            s.bind_blob(4, r.bytes);
            s.bind(5, r.complete ? 1 : 0);
            for (size_t k = 0; k < r.fresh.size(); ++k)
                s.bind(6 + static_cast<int>(k), r.fresh[k] ? 1 : 0);
            if (r.battery) {
                s.bind(9, static_cast<int64_t>(r.battery->state));
                const auto real = [&s](int i, const std::optional<double>& v) {
                    if (v && std::isfinite(*v)) s.bind_real(i, *v);
                    else s.bind_null(i);
                };
                real(10, r.battery->charge);
                real(11, r.battery->runtime_s);
                real(12, r.battery->learned_capacity_ah);
            }
            if (s.step() != SQLITE_DONE) fail("cannot store a record of \"" + r.device + "\"");
            r.id = sqlite3_last_insert_rowid(db_);
            s.reset();
            const auto rows = rows_.find(r.device);
            if (rows != rows_.end()) ++rows->second;
        }
        Statement del(db_, "DELETE FROM active_alarms WHERE device = ?1");
        Statement ins(db_,
                      "INSERT OR REPLACE INTO active_alarms(device, key, alarm_id, seq, level, "
                      "message, since, ack_by, ack_comment, ack_at, flapping) "
                      "VALUES(?,?,?,?,?,?,?,?,?,?,?)");
        if (del.prepare_result() != SQLITE_OK || ins.prepare_result() != SQLITE_OK)
            fail("cannot store alarms");
        for (const StoredAlarms& set : alarms) {
            del.bind(1, set.device);
            if (del.step() != SQLITE_DONE)
                fail("cannot store the alarms of \"" + set.device + "\"");
            del.reset();
            for (const ActiveAlarm& a : set.alarms) {
                ins.bind(1, set.device);
                ins.bind(2, a.id.key);
                ins.bind(3, a.id.alarm_id);
                ins.bind(4, static_cast<int64_t>(a.id.seq));
                ins.bind(5, static_cast<int64_t>(a.level));
                ins.bind(6, a.message);
                ins.bind(7, static_cast<int64_t>(a.since));
                ins.bind(8, a.ack.by);
                ins.bind(9, a.ack.comment);
                ins.bind(10, static_cast<int64_t>(a.ack.at));
                ins.bind(11, a.flapping ? 1 : 0);
                if (ins.step() != SQLITE_DONE)
                    fail("cannot store the alarms of \"" + set.device + "\"");
                ins.reset();
            }
        }
        for (const Rollup& u : batch.rollups) store_rollup(u);
        if (!batch.alarm_log.empty()) {
            Statement log(db_,
                          "INSERT INTO alarm_log(time, device, change, alarm_id, key, seq, level, "
                          "value, message, reason) VALUES(?,?,?,?,?,?,?,?,?,?)");
            if (log.prepare_result() != SQLITE_OK) fail("cannot store alarm changes");
            for (AlarmLogEntry& e : batch.alarm_log) {
                log.bind(1, e.time);
                log.bind(2, e.device);
                log.bind(3, std::string(alarm_change_name(e.change)));
                log.bind(4, e.alarm_id);
                log.bind(5, e.key);
                log.bind(6, static_cast<int64_t>(e.seq));
                log.bind(7, static_cast<int64_t>(e.level));
                log.bind(8, e.value);
                log.bind(9, e.message);
                log.bind(10, e.reason);
                if (log.step() != SQLITE_DONE)
                    fail("cannot store an alarm change of \"" + e.device + "\"");
                e.id = sqlite3_last_insert_rowid(db_);
                log.reset();
            }
        }
        if (trim) {
            // The rows this batch pushes beyond the retention go in the same
            // commit, so a device never holds more than its bound.
            std::set<std::string> written;
            for (const StoredRecord& r : records) written.insert(r.device);
            if (trim->max_age_seconds > 0) delete_older(now - trim->max_age_seconds, kPruneChunk);
            if (trim->max_rows_per_device > 0)
                for (const std::string& device : written)
                    delete_beyond(device, trim->max_rows_per_device, -1);
            // Roll-ups age out when an hour of their device closes: every
            // span's, at most a chunk each.
            for (const Rollup& u : batch.rollups) {
                if (u.span != kRollupSpanCount - 1) continue;
                for (size_t span = 0; span < kRollupSpanCount; ++span) {
                    const int64_t keep = trim->rollup_max_age_seconds[span];
                    if (keep > 0) delete_rollups_older(span, u.device, now - keep, kPruneChunk);
                }
            }
            if (!batch.alarm_log.empty())
                delete_alarm_log(log_cutoff(*trim, now), trim->alarm_log_max_rows, kPruneChunk);
        }
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        rows_.clear();  // counted again from what the file holds
        throw;
    }
}

std::vector<ActiveAlarm> HistoryStore::active_alarms(const std::string& device) {
    std::vector<ActiveAlarm> out;
    if (version_ < 2) return out;
    const std::string sql =
        std::string("SELECT key, alarm_id, seq, level, message, since") +
        (version_ >= kAcksSince ? ", ack_by, ack_comment, ack_at, flapping" : "") +
        " FROM active_alarms WHERE device = ?1 ORDER BY key, alarm_id, seq";
    Statement s(db_, sql.c_str());
    if (s.prepare_result() != SQLITE_OK) fail("cannot read alarms");
    s.bind(1, device);
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) {
        ActiveAlarm a;
        a.id.key = s.text_at(0);
        a.id.alarm_id = s.text_at(1);
        a.id.seq = static_cast<unsigned short>(s.int_at(2));
        a.level = static_cast<int>(s.int_at(3));
        a.message = s.text_at(4);
        a.since = static_cast<std::time_t>(s.int_at(5));
        if (version_ >= kAcksSince) {
            a.ack.by = s.text_at(6);
            a.ack.comment = s.text_at(7);
            a.ack.at = static_cast<std::time_t>(s.int_at(8));
            a.flapping = s.int_at(9) != 0;
        }
        out.push_back(std::move(a));
    }
    if (rc != SQLITE_DONE) fail("cannot read alarms");
    return out;
}

std::optional<StoredRecord> HistoryStore::newest(const std::string& device, bool complete_only) {
    Statement s(db_, (row_columns(version_) + "WHERE device = ?1" +
                      (complete_only && version_ >= 2 ? " AND complete = 1" : "") +
                      " ORDER BY time DESC, id DESC LIMIT 1")
                         .c_str());
    if (s.prepare_result() != SQLITE_OK) fail("cannot read");
    s.bind(1, device);
    const int rc = s.step();
    if (rc == SQLITE_DONE) return std::nullopt;
    if (rc != SQLITE_ROW) fail("cannot read");
    return row_at(s);
}

int64_t HistoryStore::delete_older(int64_t cutoff, int limit) {
    Statement& s = cached(
        "DELETE FROM history WHERE id IN "
        "(SELECT id FROM history WHERE time < ?1 LIMIT ?2) RETURNING device");
    s.bind(1, cutoff);
    s.bind(2, static_cast<int64_t>(limit));
    int64_t removed = 0;
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) {
        ++removed;
        const auto rows = rows_.find(s.text_at(0));
        if (rows != rows_.end()) --rows->second;
    }
    s.reset();
    if (rc != SQLITE_DONE) {
        rows_.clear();  // the statement's deletes were undone
        fail("cannot prune");
    }
    return removed;
}

int64_t HistoryStore::delete_beyond(const std::string& device, int64_t keep, int limit) {
    // The oldest rows beyond the newest keep go.
    int64_t excess = device_rows(device) - keep;
    if (excess <= 0) return 0;
    if (limit >= 0) excess = std::min<int64_t>(excess, limit);
    Statement& s = cached(
        "DELETE FROM history WHERE id IN (SELECT id FROM history WHERE "
        "device = ?1 ORDER BY time, id LIMIT ?2)");
    s.bind(1, device);
    s.bind(2, excess);
    const int rc = s.step();
    s.reset();
    if (rc != SQLITE_DONE) fail("cannot prune");
    const int64_t removed = sqlite3_changes(db_);
    rows_[device] -= removed;
    return removed;
}

int64_t HistoryStore::prune(const Retention& retention, int64_t now) {
    int64_t removed = 0;
    // Deletes in chunks, each its own short transaction, until one comes
    // back short.
    auto in_chunks = [&](const std::function<int64_t()>& chunk) {
        for (;;) {
            const int64_t n = chunk();
            removed += n;
            if (n < kPruneChunk) break;
        }
    };
    if (retention.max_age_seconds > 0)
        in_chunks([&] { return delete_older(now - retention.max_age_seconds, kPruneChunk); });
    if (retention.max_rows_per_device > 0) {
        std::vector<std::string> devices;
        {
            Statement s(db_, "SELECT DISTINCT device FROM history");
            while (s.step() == SQLITE_ROW) devices.push_back(s.text_at(0));
        }
        for (const std::string& device : devices)
            in_chunks(
                [&] { return delete_beyond(device, retention.max_rows_per_device, kPruneChunk); });
    }
    if (version_ < kRollupsSince) return removed;
    for (size_t span = 0; span < kRollupSpanCount; ++span) {
        const int64_t keep = retention.rollup_max_age_seconds[span];
        if (keep <= 0) continue;
        std::vector<std::string> devices;
        {
            Statement s(db_, ("SELECT DISTINCT device FROM " +
                              std::string(kRollupSpans[span].table))
                                 .c_str());
            while (s.step() == SQLITE_ROW) devices.push_back(s.text_at(0));
        }
        for (const std::string& device : devices)
            in_chunks(
                [&] { return delete_rollups_older(span, device, now - keep, kPruneChunk); });
    }
    in_chunks([&] {
        return delete_alarm_log(log_cutoff(retention, now), retention.alarm_log_max_rows,
                                kPruneChunk);
    });
    return removed;
}

int64_t HistoryStore::delete_rollups_older(size_t span, const std::string& device, int64_t cutoff,
                                           int limit) {
    const std::string table = kRollupSpans[span].table;
    Statement s(db_, ("DELETE FROM " + table + " WHERE rowid IN (SELECT rowid FROM " + table +
                      " WHERE device = ?1 AND start < ?2 LIMIT ?3)")
                         .c_str());
    s.bind(1, device);
    s.bind(2, cutoff);
    s.bind(3, static_cast<int64_t>(limit));
    if (s.step() != SQLITE_DONE) fail("cannot prune roll-ups");
    return sqlite3_changes(db_);
}

int64_t HistoryStore::delete_alarm_log(int64_t cutoff, int64_t max_rows, int limit) {
    // Ids grow with every change, so the cap keeps the newest max_rows.
    Statement s(db_,
                "DELETE FROM alarm_log WHERE id IN (SELECT id FROM alarm_log WHERE "
                "time < ?1 OR (?2 > 0 AND id <= (SELECT max(id) FROM alarm_log) - ?2) LIMIT ?3)");
    s.bind(1, cutoff);
    s.bind(2, max_rows);
    s.bind(3, static_cast<int64_t>(limit));
    if (s.step() != SQLITE_DONE) fail("cannot prune the alarm log");
    return sqlite3_changes(db_);
}

void HistoryStore::for_each(const HistoryFilter& filter,
                            const std::function<void(const StoredRecord&)>& fn) {
    Statement s(db_, (row_columns(version_) +
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

namespace {

// The filter's bounds as parameters 1 to 3 of a statement.
void bind_filter(Statement& s, const HistoryFilter& filter) {
    if (filter.device) s.bind(1, *filter.device);
    if (filter.since) s.bind(2, *filter.since);
    if (filter.until) s.bind(3, *filter.until);
}

// Only the bounds given become conditions, so that SQLite can use the
// (device, time) indexes.
std::string filter_where(const HistoryFilter& filter, const char* time_column) {
    const std::string t = time_column;
    std::string where = " WHERE 1";
    if (filter.device) where += " AND device = ?1";
    if (filter.since) where += " AND " + t + " >= ?2";
    if (filter.until) where += " AND " + t + " <= ?3";
    return where + " ";
}

}  // namespace

void HistoryStore::for_each_newest(const HistoryFilter& filter, bool complete_only, int64_t limit,
                                   const std::function<void(const StoredRecord&)>& fn) {
    const std::string complete = complete_only && version_ >= 2 ? "AND complete = 1 " : "";
    Statement s(db_, (row_columns(version_) + filter_where(filter, "time").substr(1) + complete +
                      "ORDER BY time DESC, id DESC LIMIT ?4")
                         .c_str());
    if (s.prepare_result() != SQLITE_OK) fail("cannot read");
    bind_filter(s, filter);
    s.bind(4, limit);
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) fn(row_at(s));
    if (rc != SQLITE_DONE) fail("cannot read");
}

void HistoryStore::interrupt_at(const std::chrono::steady_clock::time_point* deadline) {
    if (!deadline) {
        sqlite3_progress_handler(db_, 0, nullptr, nullptr);
        return;
    }
    sqlite3_progress_handler(
        db_, 1000,
        [](void* at) {
            return std::chrono::steady_clock::now() >=
                           *static_cast<const std::chrono::steady_clock::time_point*>(at)
                       ? 1
                       : 0;
        },
        const_cast<std::chrono::steady_clock::time_point*>(deadline));
}

void HistoryStore::for_each_rollup(size_t span, const HistoryFilter& filter,
                                   const std::function<void(const Rollup&)>& fn,
                                   const std::vector<size_t>* only) {
    if (version_ < kRollupsSince) return;
    Statement s(db_, ("SELECT device, start, rounds, stats FROM " +
                      std::string(kRollupSpans[span].table) + filter_where(filter, "start") +
                      "ORDER BY start, device")
                         .c_str());
    if (s.prepare_result() != SQLITE_OK) fail("cannot read roll-ups");
    bind_filter(s, filter);
    int rc;
    Rollup u;
    u.span = span;
    while ((rc = s.step()) == SQLITE_ROW) {
        u.device = s.text_at(0);
        u.start = s.int_at(1);
        u.rounds = static_cast<uint32_t>(s.int_at(2));
        const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(s.get(), 3));
        const size_t size = static_cast<size_t>(sqlite3_column_bytes(s.get(), 3));
        if (!blob || size % kColumnStatsBytes != 0) {
            u.columns.clear();
        } else if (only) {
            // A chart asks for a few columns of sixty.
            u.columns.assign(size / kColumnStatsBytes, ColumnStats());
            for (size_t k : *only)
                if (k < u.columns.size()) decode_column(blob + k * kColumnStatsBytes, u.columns[k]);
        } else {
            decode_columns(blob, size, u.columns);
        }
        fn(u);
    }
    if (rc != SQLITE_DONE) fail("cannot read roll-ups");
}

std::optional<int64_t> HistoryStore::newest_rollup_start(size_t span, const std::string& device) {
    if (version_ < kRollupsSince) return std::nullopt;
    Statement s(db_, ("SELECT max(start) FROM " + std::string(kRollupSpans[span].table) +
                      " WHERE device = ?1")
                         .c_str());
    s.bind(1, device);
    if (s.step() != SQLITE_ROW) fail("cannot read roll-ups");
    if (s.is_null(0)) return std::nullopt;
    return s.int_at(0);
}

int64_t HistoryStore::count_rounds(const HistoryFilter& filter) {
    Statement s(db_, ("SELECT count(*) FROM history" + filter_where(filter, "time")).c_str());
    bind_filter(s, filter);
    if (s.step() != SQLITE_ROW) fail("cannot read");
    return s.int_at(0);
}

int64_t HistoryStore::count_rollups(size_t span, const HistoryFilter& filter) {
    if (version_ < kRollupsSince) return 0;
    Statement s(db_, ("SELECT count(*) FROM " + std::string(kRollupSpans[span].table) +
                      filter_where(filter, "start"))
                         .c_str());
    bind_filter(s, filter);
    if (s.step() != SQLITE_ROW) fail("cannot read roll-ups");
    return s.int_at(0);
}

std::vector<std::string> HistoryStore::devices() {
    std::vector<std::string> out;
    Statement s(db_, "SELECT DISTINCT device FROM history ORDER BY device");
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) out.push_back(s.text_at(0));
    if (rc != SQLITE_DONE) fail("cannot read");
    return out;
}

void HistoryStore::for_each_alarm_change(const HistoryFilter& filter,
                                         const std::function<void(const AlarmLogEntry&)>& fn,
                                         int64_t newest) {
    if (version_ < kRollupsSince) return;
    const std::string select =
        "SELECT id, time, device, change, alarm_id, key, seq, level, value, message, reason "
        "FROM alarm_log" +
        filter_where(filter, "time");
    const std::string sql = newest > 0 ? "SELECT * FROM (" + select +
                                             "ORDER BY time DESC, id DESC LIMIT " +
                                             std::to_string(newest) + ") ORDER BY time, id"
                                       : select + "ORDER BY time, id";
    Statement s(db_, sql.c_str());
    if (s.prepare_result() != SQLITE_OK) fail("cannot read the alarm log");
    bind_filter(s, filter);
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) {
        AlarmLogEntry e;
        e.id = s.int_at(0);
        e.time = s.int_at(1);
        e.device = s.text_at(2);
        e.change = alarm_change_of(s.text_at(3));
        e.alarm_id = s.text_at(4);
        e.key = s.text_at(5);
        e.seq = static_cast<unsigned>(s.int_at(6));
        e.level = static_cast<int>(s.int_at(7));
        e.value = s.text_at(8);
        e.message = s.text_at(9);
        e.reason = s.text_at(10);
        fn(e);
    }
    if (rc != SQLITE_DONE) fail("cannot read the alarm log");
}

int64_t HistoryStore::count() {
    Statement s(db_, "SELECT count(*) FROM history");
    if (s.step() != SQLITE_ROW) fail("cannot read");
    return s.int_at(0);
}

}  // namespace smdgw
