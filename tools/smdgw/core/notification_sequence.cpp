#include "tools/smdgw/core/notification_sequence.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "tools/smdgw/core/safe_file.h"

namespace smdgw {

namespace {

// Waits this long for the history writer's lock.
constexpr int kBusyTimeoutMs = 5000;
// A state file is one number and a line feed; anything longer is not ours.
constexpr size_t kMaxFileBytes = 32;

bool parse_number(const std::string& text, uint64_t& out) {
    std::string t = text;
    if (!t.empty() && t.back() == '\n') t.pop_back();
    if (t.empty() || t.size() > 20) return false;
    uint64_t v = 0;
    for (char c : t) {
        if (c < '0' || c > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - digit) / 10) return false;
        v = v * 10 + digit;
    }
    out = v;
    return true;
}

class FileSequence : public NotificationSequence {
   public:
    FileSequence(const std::string& path, uint64_t last)
        : NotificationSequence(path, last), path_(path) {}

   protected:
    bool store(uint64_t last, std::string& error) override {
        return replace_file(path_, std::to_string(last) + "\n", error);
    }

   private:
    std::string path_;
};

class DatabaseSequence : public NotificationSequence {
   public:
    DatabaseSequence(const std::string& path, const std::string& channel, sqlite3* db,
                     uint64_t last)
        : NotificationSequence(path + " (table notification_sequence)", last),
          channel_(channel),
          db_(db) {}
    ~DatabaseSequence() override { sqlite3_close_v2(db_); }

   protected:
    bool store(uint64_t last, std::string& error) override {
        sqlite3_stmt* st = nullptr;
        int rc = sqlite3_prepare_v2(db_,
                                    "INSERT INTO notification_sequence (channel, last) VALUES (?, ?)"
                                    " ON CONFLICT(channel) DO UPDATE SET last = excluded.last",
                                    -1, &st, nullptr);
        if (rc == SQLITE_OK) {
            sqlite3_bind_text(st, 1, channel_.data(), static_cast<int>(channel_.size()),
                              SQLITE_TRANSIENT);
            sqlite3_bind_int64(st, 2, static_cast<sqlite3_int64>(last));
            rc = sqlite3_step(st);
        }
        sqlite3_finalize(st);
        if (rc == SQLITE_DONE) return true;
        error = where() + ": cannot store the notification sequence: " + sqlite3_errmsg(db_);
        return false;
    }

   private:
    std::string channel_;
    sqlite3* db_;
};

// Several stores of one channel, each given every number: the highest of
// them is where numbering goes on, so losing one (a new history file) never
// hands a number out again.
class HighestSequence : public NotificationSequence {
   public:
    HighestSequence(std::vector<std::unique_ptr<NotificationSequence>> stores, uint64_t last)
        : NotificationSequence(where_of(stores), last), stores_(std::move(stores)) {}

   protected:
    bool store(uint64_t last, std::string& error) override {
        bool ok = true;
        for (auto& s : stores_) {
            std::string failed;
            if (!s->store(last, failed)) {
                if (ok) error = failed;
                ok = false;
            }
        }
        return ok;
    }

   private:
    static std::string where_of(const std::vector<std::unique_ptr<NotificationSequence>>& stores) {
        std::string w;
        for (const auto& s : stores) w += (w.empty() ? "" : " and ") + s->where();
        return w;
    }
    std::vector<std::unique_ptr<NotificationSequence>> stores_;
};

}  // namespace

std::unique_ptr<NotificationSequence> NotificationSequence::highest_of(
    std::vector<std::unique_ptr<NotificationSequence>> stores) {
    uint64_t last = 0;
    for (const auto& s : stores) last = std::max(last, s->last());
    return std::make_unique<HighestSequence>(std::move(stores), last);
}

uint64_t NotificationSequence::take(uint64_t n, std::string& error) {
    const uint64_t first = last_ + 1;
    last_ += n;
    // An earlier failure in `error` stays: the caller says it once for all.
    std::string failed;
    if (!store(last_, failed) && error.empty()) error = failed;
    return first;
}

uint64_t NotificationSequence::read_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return 0;
        throw SequenceError(path + ": cannot read: " + std::strerror(errno));
    }
    char buf[kMaxFileBytes + 1];
    size_t got = 0;
    ssize_t n = 0;
    while (got < sizeof buf && (n = ::read(fd, buf + got, sizeof buf - got)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        got += static_cast<size_t>(n);
    }
    const int read_errno = errno;
    ::close(fd);
    if (n < 0) throw SequenceError(path + ": cannot read: " + std::strerror(read_errno));
    uint64_t last = 0;
    if (got > kMaxFileBytes || !parse_number(std::string(buf, got), last))
        throw SequenceError(path +
                                ": not a notification sequence file (one line of decimal "
                                "digits); move it away to start again from 1",
                            false);
    return last;
}

std::unique_ptr<NotificationSequence> NotificationSequence::in_file(const std::string& path) {
    const uint64_t last = read_file(path);
    return std::make_unique<FileSequence>(path, last);
}

std::unique_ptr<NotificationSequence> NotificationSequence::in_database(const std::string& path,
                                                                        const std::string& channel) {
    std::string error;
    if (!prepare_database_file(path, error)) throw SequenceError(error);
    sqlite3* db = nullptr;
    const auto fail = [&](const std::string& what) {
        const std::string msg = path + ": " + what + ": " + (db ? sqlite3_errmsg(db) : "no memory");
        sqlite3_close_v2(db);
        throw SequenceError(msg);
    };
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        fail("cannot open");
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // FULL: a number is on the disk before its notification is sent.
    if (sqlite3_exec(db,
                     "PRAGMA synchronous=FULL;"
                     "CREATE TABLE IF NOT EXISTS notification_sequence ("
                     " channel TEXT PRIMARY KEY, last INTEGER NOT NULL)",
                     nullptr, nullptr, nullptr) != SQLITE_OK)
        fail("cannot create the table notification_sequence");
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT last FROM notification_sequence WHERE channel = ?", -1, &st,
                           nullptr) != SQLITE_OK)
        fail("cannot read the notification sequence");
    sqlite3_bind_text(st, 1, channel.data(), static_cast<int>(channel.size()), SQLITE_TRANSIENT);
    const int rc = sqlite3_step(st);
    const int64_t last = rc == SQLITE_ROW ? sqlite3_column_int64(st, 0) : 0;
    sqlite3_finalize(st);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) fail("cannot read the notification sequence");
    if (last < 0) {
        sqlite3_close_v2(db);
        throw SequenceError(path + ": the notification sequence is negative", false);
    }
    return std::make_unique<DatabaseSequence>(path, channel, db, static_cast<uint64_t>(last));
}

}  // namespace smdgw
