#pragma once
// The round history on disk: a SQLite database with one row per stored record
// (device name, data ID, storage time, the record bytes). One connection per
// object; a database of another program or another schema is refused before
// anything in it is touched.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/alarm_store.h"
#include "host/plant_sections.h"

struct sqlite3;
struct sqlite3_stmt;

namespace smdgw {

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
};

// The alarms a device holds as raised, replaced as a whole on every change.
struct StoredAlarms {
    std::string device;
    std::vector<ActiveAlarm> alarms;
};

// How much history is kept; 0 means no bound.
struct Retention {
    int64_t max_age_seconds = 7 * 24 * 3600;
    int64_t max_rows_per_device = 100000;
};

// Which rows an export reads; both bounds inclusive.
struct HistoryFilter {
    std::optional<std::string> device;
    std::optional<int64_t> since;
    std::optional<int64_t> until;
};

class HistoryStore {
   public:
    // Schema version kept in the database (PRAGMA user_version). Version 1
    // had no "complete" column and no active alarms, version 2 no section
    // columns; both are migrated.
    static constexpr int kSchemaVersion = 3;
    // Marks the file as this gateway's history (PRAGMA application_id, "smdh").
    static constexpr int32_t kApplicationId = 0x736d6468;

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

    struct Migration {
        int from = 0;        // 0: none happened
        std::string backup;  // the copy of the file as it was
    };
    const Migration& migration() const { return migration_; }

    // Stores the records in one transaction, all or none; sets their ids.
    void insert(std::vector<StoredRecord>& records);
    // Records and alarm sets in one transaction, all or none. With trim, the
    // same transaction deletes what the retention no longer keeps of the
    // devices written (rows older than its age, at most a chunk of them, and
    // rows beyond its count), now being the time the age counts from.
    void write(std::vector<StoredRecord>& records, const std::vector<StoredAlarms>& alarms,
               const Retention* trim = nullptr, int64_t now = 0);
    // The newest record of a device (latest time, then latest insertion);
    // only complete ones when asked.
    std::optional<StoredRecord> newest(const std::string& device, bool complete_only = false);
    // The alarms the device held as raised when they last changed.
    std::vector<ActiveAlarm> active_alarms(const std::string& device);
    // Deletes rows beyond the retention in short transactions; returns how many.
    int64_t prune(const Retention& retention, int64_t now);
    // Rows in time order (then insertion order); the callback sees each once.
    void for_each(const HistoryFilter& filter, const std::function<void(const StoredRecord&)>& fn);
    int64_t count();

   private:
    HistoryStore(sqlite3* db, std::string path);
    void check_schema(bool may_create);
    void migrate(int from);
    void exec(const char* sql);
    [[noreturn]] void fail(const std::string& what) const;
    // Deletes at most limit rows older than cutoff (seconds since the epoch).
    int64_t delete_older(int64_t cutoff, int limit);
    // Deletes at most limit (-1: all) of the device's rows beyond its newest keep.
    int64_t delete_beyond(const std::string& device, int64_t keep, int limit);

    sqlite3* db_ = nullptr;
    std::string path_;
    int version_ = kSchemaVersion;
    Migration migration_;
};

}  // namespace smdgw
