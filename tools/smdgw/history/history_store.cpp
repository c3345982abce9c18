// The store's connection: its life, its failures and the statements it
// keeps prepared; and the words the alarm log stores. What it reads, what it
// writes and how it opens a file are in history_store_read.cpp,
// history_store_write.cpp and history_schema.cpp.

#include "tools/smdgw/history/history_store.h"

#include <sqlite3.h>

#include <memory>
#include <utility>

#include "tools/smdgw/history/history_schema.h"
#include "tools/smdgw/history/sqlite_statement.h"

namespace smdgw {

using sqlite::Statement;

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

Statement& HistoryStore::cached(const std::string& sql, const char* failure) {
    auto it = statements_.find(sql);
    if (it == statements_.end()) {
        auto s = std::make_unique<Statement>(db_, sql.c_str());
        if (s->prepare_result() != SQLITE_OK)
            fail(failure ? std::string(failure) : "cannot prepare \"" + sql + "\"");
        it = statements_.emplace(sql, std::move(s)).first;
    }
    it->second->reset();
    return *it->second;
}

void HistoryStore::fail(const std::string& what) const { fail_history(db_, path_, what); }

void HistoryStore::exec(const char* sql) { exec_history(db_, path_, sql); }

void HistoryStore::set_busy_timeout(int milliseconds) { sqlite3_busy_timeout(db_, milliseconds); }

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

}  // namespace smdgw
