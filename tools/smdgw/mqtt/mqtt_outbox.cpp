#include "tools/smdgw/mqtt/mqtt_outbox.h"

#include "tools/smdgw/core/safe_file.h"
#include "tools/smdgw/history/history_store.h"
#include "tools/smdgw/history/sqlite_statement.h"

namespace smdgw {

namespace {

using sqlite::Statement;

// Waits this long for the history writer's (or a reader's) lock.
constexpr int kBusyTimeoutMs = 5000;
// Rows looked at per step while making room.
constexpr int kDropChunk = 256;
// Kept free for the dropped notice (about 200 bytes) when the outbox is full.
constexpr uint64_t kNoticeRoom = 1024;

// AUTOINCREMENT: ids never come back after the newest rows were deleted, so
// the publisher's "everything above the last id handed out" stays right.
const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS mqtt_outbox ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " drop_class INTEGER NOT NULL,"
    " topic TEXT NOT NULL,"
    " payload TEXT NOT NULL,"
    " retain INTEGER NOT NULL,"
    " created INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS mqtt_outbox_drop ON mqtt_outbox(drop_class, id);"
    "CREATE TABLE IF NOT EXISTS mqtt_seq ("
    " device TEXT NOT NULL, kind TEXT NOT NULL, last INTEGER NOT NULL,"
    " PRIMARY KEY (device, kind));"
    "CREATE TABLE IF NOT EXISTS mqtt_meta (name TEXT PRIMARY KEY, value INTEGER NOT NULL);";

// A row's size as the bound counts it: the bytes of topic and payload
// (length() of a text would count characters).
const char* const kRowBytes = "length(CAST(topic AS BLOB)) + length(CAST(payload AS BLOB))";

// Tables of a file that is not a history database: the outbox's own and
// SQLite's.
bool outbox_table(const std::string& name) {
    return name.rfind("mqtt_", 0) == 0 || name.rfind("sqlite_", 0) == 0;
}

}  // namespace

MqttOutbox::MqttOutbox(const std::string& path, uint64_t max_bytes)
    : path_(path), max_bytes_(max_bytes) {
    // A refused file leaves no connection behind: the destructor does not run
    // for a constructor that throws.
    try {
        open();
    } catch (...) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw;
    }
}

void MqttOutbox::open() {
    const std::string& path = path_;
    // Made here first so that the outbox, and its -wal and -shm files after
    // it, get the gateway's mode instead of SQLite's 0644.
    std::string error;
    if (!prepare_database_file(path, error)) throw OutboxError(error, true);
    const int rc =
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) fail("cannot open");
    if (sqlite3_db_readonly(db_, "main") == 1)
        throw OutboxError(path + ": cannot open for writing: permission denied", true);
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    int64_t app_id = 0;
    {
        Statement s(db_, "PRAGMA application_id");
        const int step = s.prepare_result() == SQLITE_OK ? s.step() : s.prepare_result();
        if (step == SQLITE_NOTADB) throw OutboxError(path + ": not a SQLite database");
        if (step != SQLITE_ROW) fail("cannot read");
        app_id = s.int_at(0);
    }
    // The history's database holds the outbox beside its own tables.
    if (app_id != HistoryStore::kApplicationId) {
        Statement s(db_, "SELECT name FROM sqlite_master WHERE type = 'table'");
        int step = s.step();
        for (; step == SQLITE_ROW; step = s.step())
            if (!outbox_table(s.text_at(0)))
                throw OutboxError(path + ": a SQLite database of another program (table \"" +
                                  s.text_at(0) + "\"), not an smdgw outbox or history");
        if (step != SQLITE_DONE) fail("cannot read");
    }
    // WAL: the history writer and readers go on while the outbox commits;
    // FULL: a queued message is on the disk before the next one is taken.
    exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;");
    create_schema();
    load_state();
}

MqttOutbox::~MqttOutbox() { sqlite3_close_v2(db_); }

void MqttOutbox::fail(const std::string& what) const {
    throw OutboxError(path_ + ": " + what + ": " + (db_ ? sqlite3_errmsg(db_) : "no connection"));
}

void MqttOutbox::exec(const char* sql) {
    char* msg = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
        const std::string text = msg ? msg : "unknown error";
        sqlite3_free(msg);
        throw OutboxError(path_ + ": " + text);
    }
}

void MqttOutbox::create_schema() {
    exec("BEGIN IMMEDIATE");
    try {
        exec(kSchema);
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void MqttOutbox::load_state() {
    {
        Statement s(db_, "SELECT device, kind, last FROM mqtt_seq");
        while (s.step() == SQLITE_ROW) pub_seq_.set(s.text_at(0), s.text_at(1), s.int_at(2));
    }
    {
        Statement s(db_, (std::string("SELECT count(*), coalesce(sum(") + kRowBytes +
                          "), 0) FROM mqtt_outbox")
                             .c_str());
        if (s.step() != SQLITE_ROW) fail("cannot read");
        rows_ = static_cast<uint64_t>(s.int_at(0));
        bytes_ = static_cast<uint64_t>(s.int_at(1));
    }
    {
        Statement s(db_, "SELECT value FROM mqtt_meta WHERE name = 'dropped_total'");
        if (s.step() == SQLITE_ROW) dropped_total_ = static_cast<uint64_t>(s.int_at(0));
    }
    refresh_oldest();
}

void MqttOutbox::refresh_oldest() {
    Statement s(db_, "SELECT created FROM mqtt_outbox ORDER BY id LIMIT 1");
    oldest_ms_ = s.step() == SQLITE_ROW ? s.int_at(0) : 0;
}

// Inside a transaction: the message, its pub_seq remembered. A dropped
// notice first takes the place of the one before.
void MqttOutbox::store(const PendingMessage& m) {
    if (m.drop_class == DropClass::Dropped) {
        Statement replace(db_, (std::string("DELETE FROM mqtt_outbox WHERE topic = ?1 AND "
                                            "drop_class = ?2 RETURNING ") +
                                kRowBytes)
                                   .c_str());
        replace.bind(1, m.topic);
        replace.bind(2, static_cast<int64_t>(m.drop_class));
        while (replace.step() == SQLITE_ROW) {
            bytes_ -= static_cast<uint64_t>(replace.int_at(0));
            --rows_;
        }
    }
    Statement ins(db_,
                  "INSERT INTO mqtt_outbox(drop_class, topic, payload, retain, created) "
                  "VALUES(?1, ?2, ?3, ?4, ?5)");
    ins.bind(1, static_cast<int64_t>(m.drop_class));
    ins.bind(2, m.topic);
    ins.bind(3, m.payload);
    ins.bind(4, m.retain ? 1 : 0);
    ins.bind(5, m.created_ms);
    if (ins.step() != SQLITE_DONE) fail("cannot queue a message for " + m.topic);
    Statement seq(db_,
                  "INSERT INTO mqtt_seq(device, kind, last) VALUES(?1, ?2, ?3) "
                  "ON CONFLICT(device, kind) DO UPDATE SET last = max(last, excluded.last)");
    seq.bind(1, m.seq_device);
    seq.bind(2, m.seq_kind);
    seq.bind(3, m.pub_seq);
    if (seq.step() != SQLITE_DONE) fail("cannot store pub_seq");
    bytes_ += m.topic.size() + m.payload.size();
    ++rows_;
}

uint64_t MqttOutbox::append(const std::vector<PendingMessage>& batch) {
    if (batch.empty()) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t bytes_before = bytes_, rows_before = rows_;
    uint64_t dropped = 0;
    exec("BEGIN IMMEDIATE");
    try {
        for (const PendingMessage& m : batch) store(m);
        dropped = enforce_bound(max_bytes_);
        if (dropped > 0 && dropped_notice_) {
            // Room for the notice, so that the outbox stays within its bound.
            dropped += enforce_bound(max_bytes_ > kNoticeRoom ? max_bytes_ - kNoticeRoom : 0);
            store(dropped_notice_(dropped_total_ + dropped));
        }
        count_dropped(dropped);
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        bytes_ = bytes_before;
        rows_ = rows_before;
        throw;
    }
    dropped_total_ += dropped;
    refresh_oldest();
    return dropped;
}

// Inside append's transaction: the oldest rows of the lowest drop class go
// until the outbox fits its bound again.
uint64_t MqttOutbox::enforce_bound(uint64_t bound) {
    uint64_t dropped = 0;
    while (bytes_ > bound && rows_ > 0) {
        std::vector<std::pair<int64_t, int64_t>> victims;
        {
            Statement s(db_, (std::string("SELECT id, ") + kRowBytes +
                              " FROM mqtt_outbox ORDER BY drop_class, id LIMIT ?1")
                                 .c_str());
            s.bind(1, kDropChunk);
            uint64_t left = bytes_;
            while (left > bound && s.step() == SQLITE_ROW) {
                victims.emplace_back(s.int_at(0), s.int_at(1));
                left -= static_cast<uint64_t>(s.int_at(1));
            }
        }
        if (victims.empty()) fail("cannot make room");
        Statement del(db_, "DELETE FROM mqtt_outbox WHERE id = ?1");
        for (const auto& v : victims) {
            del.bind(1, v.first);
            if (del.step() != SQLITE_DONE) fail("cannot drop");
            del.reset();
            bytes_ -= static_cast<uint64_t>(v.second);
            --rows_;
            ++dropped;
        }
    }
    return dropped;
}

void MqttOutbox::count_dropped(uint64_t dropped) {
    if (dropped == 0) return;
    Statement s(db_,
                "INSERT INTO mqtt_meta(name, value) VALUES('dropped_total', ?1) "
                "ON CONFLICT(name) DO UPDATE SET value = value + ?1");
    s.bind(1, static_cast<int64_t>(dropped));
    if (s.step() != SQLITE_DONE) fail("cannot count dropped messages");
}

std::vector<OutboxMessage> MqttOutbox::after(int64_t after_id, size_t limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<OutboxMessage> out;
    Statement s(db_,
                "SELECT id, topic, payload, retain FROM mqtt_outbox WHERE id > ?1 "
                "ORDER BY id LIMIT ?2");
    if (s.prepare_result() != SQLITE_OK) fail("cannot read");
    s.bind(1, after_id);
    s.bind(2, static_cast<int64_t>(limit));
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) {
        OutboxMessage m;
        m.id = s.int_at(0);
        m.topic = s.text_at(1);
        m.payload = s.text_at(2);
        m.retain = s.int_at(3) != 0;
        out.push_back(std::move(m));
    }
    if (rc != SQLITE_DONE) fail("cannot read");
    return out;
}

void MqttOutbox::remove(const std::vector<int64_t>& ids) {
    if (ids.empty()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t freed = 0, gone = 0;
    exec("BEGIN IMMEDIATE");
    try {
        Statement s(
            db_,
            (std::string("DELETE FROM mqtt_outbox WHERE id = ?1 RETURNING ") + kRowBytes).c_str());
        if (s.prepare_result() != SQLITE_OK) fail("cannot delete");
        for (int64_t id : ids) {
            s.bind(1, id);
            int rc;
            while ((rc = s.step()) == SQLITE_ROW) {
                freed += static_cast<uint64_t>(s.int_at(0));
                ++gone;
            }
            if (rc != SQLITE_DONE) fail("cannot delete");
            s.reset();
        }
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    bytes_ -= freed;
    rows_ -= gone;
    refresh_oldest();
}

}  // namespace smdgw
