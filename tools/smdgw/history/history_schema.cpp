// The history file's schema: opening a connection (the file's mode, the
// pragmas, the application ID), creating the tables of a new file, and
// bringing a file of an older version up to this one, after a copy of it.

#include "tools/smdgw/history/history_schema.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "record/veltra_record.h"
#include "tools/smdgw/core/safe_file.h"
#include "tools/smdgw/history/history_rollup.h"
#include "tools/smdgw/history/history_store.h"
#include "tools/smdgw/history/sqlite_statement.h"

namespace smdgw {

namespace {

using sqlite::Statement;

// The page size of a new history file (see check_history_schema).
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

// Version 3 to 4: roll-ups and the alarm log start empty; the roll-ups of
// the rounds already stored are built at the next start (rebuild_rollups).
const char* const kMigrateAddRollups = SMDGW_ROLLUPS_AND_LOG;

// Version 4 to 5: alarms stored before were nobody's; the alarm log takes
// acknowledgements too (a CHECK is changed by copying the table).
const char* const kMigrateAddAcks = SMDGW_ALARM_ACK_COLUMNS
    "CREATE TABLE alarm_log_v5 (" SMDGW_ALARM_LOG_COLUMNS
    "INSERT INTO alarm_log_v5 SELECT * FROM alarm_log;"
    "DROP TABLE alarm_log;"
    "ALTER TABLE alarm_log_v5 RENAME TO alarm_log;"
    "CREATE INDEX alarm_log_time ON alarm_log(time);";

// Version 5 to 6: rounds stored before have no battery estimate.
const char* const kMigrateAddBattery = SMDGW_BATTERY_COLUMNS;

static_assert(kRecordSize == 2704, "the table's CHECK holds the record size");

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

void fail_history(sqlite3* db, const std::string& path, const std::string& what) {
    throw HistoryError(path + ": " + what + ": " + (db ? sqlite3_errmsg(db) : "no connection"),
                       db ? sqlite3_extended_errcode(db) : SQLITE_CANTOPEN);
}

void exec_history(sqlite3* db, const std::string& path, const char* sql) {
    char* msg = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &msg);
    if (rc != SQLITE_OK) {
        const std::string text = msg ? msg : "unknown error";
        sqlite3_free(msg);
        throw HistoryError(path + ": " + text, rc);
    }
}

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

void HistoryStore::check_schema(bool may_create) {
    const HistorySchema found = check_history_schema(db_, path_, may_create);
    version_ = found.version;
    migration_ = found.migration;
}

namespace {

// The copy comes first, through SQLite, so that it holds what the write-ahead
// log of an interrupted run still keeps; then one transaction changes the
// schema and the version together.
HistoryMigration migrate(sqlite3* db, const std::string& path, int from) {
    const auto fail = [&](const std::string& what) { fail_history(db, path, what); };
    const auto exec = [&](const char* sql) { exec_history(db, path, sql); };
    const std::string backup = backup_name(path, from);
    if (backup.empty())
        throw HistoryError(path + ": no free name for the copy kept before " +
                           "migrating the history schema");
    {
        Statement s(db, "VACUUM INTO ?1");
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
        exec(("PRAGMA user_version=" + std::to_string(kHistorySchemaVersion)).c_str());
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    HistoryMigration done;
    done.from = from;
    done.backup = backup;
    return done;
}

}  // namespace

// Reads the header fields first: only a file that is ours, or an empty
// database about to become ours, is accepted.
HistorySchema check_history_schema(sqlite3* db, const std::string& path, bool may_create) {
    const auto fail = [&](const std::string& what) { fail_history(db, path, what); };
    const auto exec = [&](const char* sql) { exec_history(db, path, sql); };
    HistorySchema found;
    int64_t app_id = 0, version = 0, objects = 0;
    {
        Statement s(db, "PRAGMA application_id");
        int rc = s.prepare_result() == SQLITE_OK ? s.step() : s.prepare_result();
        if (rc == SQLITE_NOTADB) throw HistoryError(path + ": not a SQLite database");
        if (rc != SQLITE_ROW) fail("cannot read");
        app_id = s.int_at(0);
    }
    {
        Statement s(db, "PRAGMA user_version");
        if (s.step() != SQLITE_ROW) fail("cannot read");
        version = s.int_at(0);
    }
    {
        Statement s(db, "SELECT count(*) FROM sqlite_master");
        if (s.step() != SQLITE_ROW) fail("cannot read");
        objects = s.int_at(0);
    }
    if (app_id == kHistoryApplicationId) {
        if (version > kHistorySchemaVersion) {
            throw HistoryError(path + ": history schema version " + std::to_string(version) +
                               " is newer than this smdgw understands (" +
                               std::to_string(kHistorySchemaVersion) + ")");
        }
        if (version < 1) {
            throw HistoryError(path + ": unknown history schema version " +
                               std::to_string(version));
        }
        {
            Statement s(db, "SELECT id, device, data_id, time, record FROM history LIMIT 0");
            if (s.prepare_result() != SQLITE_OK) {
                throw HistoryError(path + ": history table missing or incomplete");
            }
        }
        found.version = static_cast<int>(version);
        if (found.version < kHistorySchemaVersion && may_create) {
            found.migration = migrate(db, path, found.version);
            found.version = kHistorySchemaVersion;
        }
        return found;
    }
    if (app_id == 0 && objects == 0) {
        if (!may_create) throw HistoryError(path + ": empty database, holds no smdgw history");
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
            exec(("PRAGMA application_id=" + std::to_string(kHistoryApplicationId) +
                  "; PRAGMA user_version=" + std::to_string(kHistorySchemaVersion))
                     .c_str());
            exec("COMMIT");
        } catch (...) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
        return found;
    }
    throw HistoryError(path + ": a SQLite database of another program or schema, not an " +
                       "smdgw history");
}

}  // namespace smdgw
