#pragma once
// The history file's schema: its version, the checks made when a connection
// opens it, the tables of a new file and the migrations of an older one.
// HistoryStore::open_for_writing and open_for_reading (history_schema.cpp)
// use it; the store's reads and writes only ask for the version.

#include <cstdint>
#include <string>

struct sqlite3;

namespace smdgw {

// Schema version kept in the database (PRAGMA user_version). Version 1
// had no "complete" column and no active alarms, version 2 no section
// columns, version 3 no roll-ups and no alarm log, version 4 no
// acknowledgements, version 5 no battery columns; all are migrated.
constexpr int kHistorySchemaVersion = 6;
// Marks the file as this gateway's history (PRAGMA application_id, "smdh").
constexpr int32_t kHistoryApplicationId = 0x736d6468;

// The schema version that has the roll-ups and the alarm log.
constexpr int kRollupsSince = 4;
// The schema version whose active alarms carry who acknowledged them.
constexpr int kAcksSince = 5;
// The schema version whose rounds carry the battery estimate.
constexpr int kBatterySince = 6;

// What opening did to a file of an older version.
struct HistoryMigration {
    int from = 0;        // 0: none happened
    std::string backup;  // the copy of the file as it was
};

// The schema a connection found, after any migration.
struct HistorySchema {
    int version = kHistorySchemaVersion;
    HistoryMigration migration;
};

// Throws a HistoryError naming the file, with SQLite's message and code.
[[noreturn]] void fail_history(sqlite3* db, const std::string& path, const std::string& what);
// Runs SQL that returns no rows; a failure throws a HistoryError naming the file.
void exec_history(sqlite3* db, const std::string& path, const char* sql);

// Accepts only a file of this gateway's history, or an empty database,
// which gets the tables when may_create. A file of an older version is
// migrated in one transaction when may_create, after a copy of it is kept
// beside it; else it is read as it is.
HistorySchema check_history_schema(sqlite3* db, const std::string& path, bool may_create);

}  // namespace smdgw
