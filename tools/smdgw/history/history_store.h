#pragma once
// The round history on disk: a SQLite database with one row per stored record
// (device name, data ID, storage time, the record bytes). One connection per
// object; a database of another program or another schema is refused before
// anything in it is touched. HistoryStore is defined by concern: opening and
// the schema in history_schema.cpp, storing and pruning in
// history_store_write.cpp, the queries in history_store_read.cpp, the
// connection itself in history_store.cpp.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/alarm_store.h"
#include "tools/smdgw/history/history_battery.h"
#include "tools/smdgw/history/history_rollup.h"
#include "tools/smdgw/history/history_schema.h"
#include "host/plant_sections.h"

struct sqlite3;
struct sqlite3_stmt;

namespace smdgw {

namespace sqlite {
class Statement;
}

// A history file that cannot be used: missing, not SQLite, not ours, of a
// newer schema, or failing underneath. The message names the file.
class HistoryError : public std::runtime_error {
   public:
    // sqlite_code: SQLite's result code when SQLite failed, else 0.
    explicit HistoryError(const std::string& what, int sqlite_code = 0)
        : std::runtime_error(what), code_(sqlite_code) {}
    int sqlite_code() const { return code_; }
    // The records themselves were refused (a constraint): trying them again
    // cannot help. Anything else (disk full, I/O, a lock) may pass later.
    bool refused_data() const;
    // The file could not be opened or written (a missing folder, its
    // permissions, a full disk, a lock): a later start may succeed, unlike a
    // file that is not a history.
    bool file_unavailable() const;

   private:
    int code_;
};

struct StoredRecord {
    int64_t id = 0;  // assigned by the database
    std::string device;
    uint32_t data_id = 0;
    int64_t time = 0;  // seconds since the epoch when the record was stored
    std::vector<unsigned char> bytes;
    // Judged whole by the host: every command the plant answers refreshed.
    bool complete = true;
    // Per section (AC, rectifiers, DC, in host/plant_sections.h order):
    // refreshed intact by the round. A section not refreshed holds zeros or
    // an earlier round's values in the record.
    std::array<bool, smd::kSectionCount> fresh{true, true, true};
    // The device's battery estimate after the round; none without a battery.
    std::optional<BatterySample> battery;
};

// The alarms a device holds as raised, replaced as a whole on every change.
struct StoredAlarms {
    std::string device;
    std::vector<ActiveAlarm> alarms;
};

// What the alarm log records: an alarm raised or cleared (as shown, after
// the alarm policy), or a person's acknowledgement of it given or taken back.
enum class AlarmLogChange { Raised, Cleared, Acknowledged, Unacknowledged };

// One change of an alarm, as the alarm log keeps it.
struct AlarmLogEntry {
    int64_t id = 0;    // assigned by the database
    int64_t time = 0;  // seconds since the epoch
    std::string device;
    AlarmLogChange change = AlarmLogChange::Cleared;
    std::string alarm_id;
    std::string key;
    unsigned seq = 0;
    int level = 0;
    std::string value;    // the value as text when it changed
    std::string message;  // the alarm's message (a cleared one keeps the raised one's)
    // Why, when the gateway says so; an acknowledgement: who, and the comment
    // ("Ana (on call): generator on its way"); else empty.
    std::string reason;
};

// The words the log stores for a change, and back.
const char* alarm_change_name(AlarmLogChange change);
AlarmLogChange alarm_change_of(const std::string& name);

// What one transaction writes.
struct HistoryBatch {
    std::vector<StoredRecord> records;
    std::vector<StoredAlarms> alarms;
    std::vector<Rollup> rollups;  // closed minutes and hours
    std::vector<AlarmLogEntry> alarm_log;
    bool empty() const {
        return records.empty() && alarms.empty() && rollups.empty() && alarm_log.empty();
    }
};

// How much history is kept; 0 means no bound.
struct Retention {
    int64_t max_age_seconds = 7 * 24 * 3600;
    int64_t max_rows_per_device = 100000;
    // Per span of kRollupSpans: 90 days of minutes, ten years of hours.
    int64_t rollup_max_age_seconds[kRollupSpanCount] = {90 * 24 * 3600,
                                                        int64_t{3652} * 24 * 3600};
    // The alarm log keeps the hours' age and at most this many changes.
    int64_t alarm_log_max_rows = 1000000;
    int64_t alarm_log_max_age() const { return rollup_max_age_seconds[kRollupSpanCount - 1]; }
};

// Which rows an export reads; both bounds inclusive (for a roll-up, its start).
struct HistoryFilter {
    std::optional<std::string> device;
    std::optional<int64_t> since;
    std::optional<int64_t> until;
};

class HistoryStore {
   public:
    // The schema version and the file's mark (history_schema.h).
    static constexpr int kSchemaVersion = kHistorySchemaVersion;
    static constexpr int32_t kApplicationId = kHistoryApplicationId;

    // history_schema.cpp: opening.
    // Opens or creates the file for storing; WAL journal. An older schema is
    // migrated in place in one transaction, after a copy of the file is kept
    // beside it (migration() says where).
    static HistoryStore open_for_writing(const std::string& path);
    // Opens an existing file read-only; nothing in it is changed.
    static HistoryStore open_for_reading(const std::string& path);

    HistoryStore(HistoryStore&& other) noexcept;
    HistoryStore& operator=(HistoryStore&&) = delete;
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;
    ~HistoryStore();

    const std::string& path() const { return path_; }
    // How long a write waits for another connection's lock before failing.
    void set_busy_timeout(int milliseconds);

    using Migration = HistoryMigration;
    const Migration& migration() const { return migration_; }

    // history_store_write.cpp: storing and pruning.
    // Stores the records in one transaction, all or none; sets their ids.
    void insert(std::vector<StoredRecord>& records);
    // Records and alarm sets in one transaction, all or none. With trim, the
    // same transaction deletes what the retention no longer keeps of the
    // devices written (rows older than its age, at most a chunk of them, and
    // rows beyond its count), now being the time the age counts from.
    void write(std::vector<StoredRecord>& records, const std::vector<StoredAlarms>& alarms,
               const Retention* trim = nullptr, int64_t now = 0);
    // The same with roll-ups (a roll-up already stored under its device and
    // start is folded in) and alarm changes; with trim, the same transaction
    // also deletes what their retention no longer keeps.
    void write(HistoryBatch& batch, const Retention* trim = nullptr, int64_t now = 0);
    // Deletes rows beyond the retention in short transactions; returns how many.
    int64_t prune(const Retention& retention, int64_t now);

    // history_store_read.cpp: the queries.
    // The newest record of a device (latest time, then latest insertion);
    // only complete ones when asked.
    std::optional<StoredRecord> newest(const std::string& device, bool complete_only = false);
    // The alarms the device held as raised when they last changed.
    std::vector<ActiveAlarm> active_alarms(const std::string& device);
    // Rows in time order (then insertion order); the callback sees each once.
    void for_each(const HistoryFilter& filter, const std::function<void(const StoredRecord&)>& fn);
    // The newest `limit` rounds matching the filter (complete ones only when
    // asked), handed over newest first (straight from the (device, time)
    // index, no sort of the records); SQLite reads no more rows than that.
    void for_each_newest(const HistoryFilter& filter, bool complete_only, int64_t limit,
                         const std::function<void(const StoredRecord&)>& fn);
    // Statements still running at *deadline fail with SQLITE_INTERRUPT (null:
    // no deadline); the caller keeps *deadline alive while it is set.
    void interrupt_at(const std::chrono::steady_clock::time_point* deadline);
    int64_t count();

    // Roll-ups of a span in time order, per device (filter on their start).
    // With only, just those columns are read (the others have count 0).
    void for_each_rollup(size_t span, const HistoryFilter& filter,
                         const std::function<void(const Rollup&)>& fn,
                         const std::vector<size_t>* only = nullptr);
    // The start of the device's newest stored roll-up of a span.
    std::optional<int64_t> newest_rollup_start(size_t span, const std::string& device);
    // Rows matching the filter: raw rounds, or roll-ups of a span.
    int64_t count_rounds(const HistoryFilter& filter);
    int64_t count_rollups(size_t span, const HistoryFilter& filter);
    // The devices that have stored rounds.
    std::vector<std::string> devices();
    // Alarm changes in time order (then as they came); with newest, only
    // that many of the last.
    void for_each_alarm_change(const HistoryFilter& filter,
                               const std::function<void(const AlarmLogEntry&)>& fn,
                               int64_t newest = 0);
    // The schema version of the file (an older one when read without migrating).
    int version() const { return version_; }

   private:
    HistoryStore(sqlite3* db, std::string path);
    // Checks, creates or migrates the schema (check_history_schema).
    void check_schema(bool may_create);
    void exec(const char* sql);
    [[noreturn]] void fail(const std::string& what) const;
    // Deletes at most limit rows older than cutoff (seconds since the epoch).
    int64_t delete_older(int64_t cutoff, int limit);
    // Deletes at most limit (-1: all) of the device's rows beyond its newest keep.
    int64_t delete_beyond(const std::string& device, int64_t keep, int limit);
    // Deletes at most limit of the device's roll-ups of a span older than cutoff.
    int64_t delete_rollups_older(size_t span, const std::string& device, int64_t cutoff,
                                 int limit);
    // Deletes at most limit alarm changes older than cutoff or beyond the cap.
    int64_t delete_alarm_log(int64_t cutoff, int64_t max_rows, int limit);
    void store_rollup(const Rollup& u);
    // A statement prepared once for the connection's life, reset for its
    // next use: a commit every few seconds, or a query per device, would
    // otherwise parse the same SQL each time. Only SQL of a few forms comes
    // here, each kept until the connection closes. failure: what the error
    // says when it cannot be prepared (else the SQL). Whoever steps it
    // resets it when done (sqlite::ResetOnExit); a query's callback must not
    // start the same query on this store, which would restart the one
    // running.
    sqlite::Statement& cached(const std::string& sql, const char* failure = nullptr);
    // The device's rows, counted once and then kept by this connection's
    // inserts and deletes, so the row bound costs no scan per commit.
    int64_t device_rows(const std::string& device);

    sqlite3* db_ = nullptr;
    std::string path_;
    std::map<std::string, std::unique_ptr<sqlite::Statement>> statements_;
    std::map<std::string, int64_t> rows_;
    int version_ = kSchemaVersion;
    Migration migration_;
};

}  // namespace smdgw
