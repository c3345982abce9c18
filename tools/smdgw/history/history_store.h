#pragma once
// The round history on disk: a SQLite database with one row per stored record
// (device name, data ID, storage time, the record bytes). One connection per
// object; a database of another program or another schema is refused before
// anything in it is touched.

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace smdgw {

// A history file that cannot be used: missing, not SQLite, not ours, of a
// newer schema, or failing underneath. The message names the file.
class HistoryError : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
};

struct StoredRecord {
    int64_t id = 0;  // assigned by the database
    std::string device;
    uint32_t data_id = 0;
    int64_t time = 0;  // seconds since the epoch when the record was stored
    std::vector<unsigned char> bytes;
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
    // Schema version kept in the database (PRAGMA user_version).
    static constexpr int kSchemaVersion = 1;
    // Marks the file as this gateway's history (PRAGMA application_id, "smdh").
    static constexpr int32_t kApplicationId = 0x736d6468;

    // Opens or creates the file for storing; WAL journal.
    static HistoryStore open_for_writing(const std::string& path);
    // Opens an existing file read-only; nothing in it is changed.
    static HistoryStore open_for_reading(const std::string& path);

    HistoryStore(HistoryStore&& other) noexcept;
    HistoryStore& operator=(HistoryStore&&) = delete;
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;
    ~HistoryStore();

    const std::string& path() const { return path_; }

    // Stores the records in one transaction, all or none; sets their ids.
    void insert(std::vector<StoredRecord>& records);
    // The newest record of a device (latest time, then latest insertion).
    std::optional<StoredRecord> newest(const std::string& device);
    // Deletes rows beyond the retention in short transactions; returns how many.
    int64_t prune(const Retention& retention, int64_t now);
    // Rows in time order (then insertion order); the callback sees each once.
    void for_each(const HistoryFilter& filter, const std::function<void(const StoredRecord&)>& fn);
    int64_t count();

   private:
    HistoryStore(sqlite3* db, std::string path);
    void check_schema(bool may_create);
    void exec(const char* sql);
    [[noreturn]] void fail(const std::string& what) const;

    sqlite3* db_ = nullptr;
    std::string path_;
};

}  // namespace smdgw
