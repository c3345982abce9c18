#include "tools/smdgw/outbox/outbox_store.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/safe_file.h"
#include "tools/smdgw/history/sqlite_statement.h"

namespace smdgw {

namespace {

using sqlite::Statement;

// Waits this long for another connection's lock (the history writer's, an
// export's) before a change fails.
constexpr int kBusyWaitMs = 5000;
constexpr int kBusyStepMs = 10;
// Rows looked at per step while making room, and deleted per transaction.
constexpr int kDropChunk = 64;
constexpr size_t kDeleteChunk = 256;
// Kept free for the drop notice (about 300 bytes) when the outbox is full.
constexpr uint64_t kNoticeRoom = 1024;
// The write-ahead log the bound allows: a quarter of it, within these.
constexpr uint64_t kWalAllowanceMin = 64 * 1024;
constexpr uint64_t kWalAllowanceMax = 256 * 1024;
// A file is converted for incremental vacuum when the disk has room for this
// many copies of it (VACUUM writes a copy, then the log of it), and this more.
constexpr int64_t kConvertCopies = 2;
constexpr int64_t kConvertSlack = 1 << 20;

// A message's size as the bound counts it: the bytes of target and payload
// (length() of a text would count characters).
const char* const kRowBytes = "length(CAST(target AS BLOB)) + length(CAST(payload AS BLOB))";

// Bytes a row takes in the file, as SQLite lays out a table row: up to a
// page's worth on its leaf, else a local part and whole overflow pages.
// About 30 bytes of cell header, row id, columns and its index entry come on top.
int64_t row_disk_bytes(int64_t bytes, int64_t page) {
    constexpr int64_t kOverhead = 30;
    const int64_t payload = bytes + kOverhead;
    const int64_t max_local = page - 35;
    const int64_t min_local = (page - 12) * 32 / 255 - 23;
    if (payload <= max_local) return payload;
    int64_t local = min_local + (payload - min_local) % (page - 4);
    if (local > max_local) local = min_local;
    const int64_t overflow_pages = (payload - local + page - 5) / (page - 4);
    return local + overflow_pages * page;
}

std::string mib(int64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    return text;
}

int64_t file_size(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

}  // namespace

// BEGIN IMMEDIATE, and ROLLBACK on every way out but commit(): the counts of
// the transaction are kept only when it committed.
class OutboxStore::Transaction {
   public:
    explicit Transaction(OutboxStore& store) : store_(store) {
        store_.reset_transaction();
        store_.exec("BEGIN IMMEDIATE");
    }
    ~Transaction() {
        if (done_) return;
        // SQLite may have rolled back already (a full disk): nothing to say then.
        sqlite3_exec(store_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
        store_.reset_transaction();
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void commit() {
        store_.exec("COMMIT");
        done_ = true;
        store_.committed();
    }

   private:
    OutboxStore& store_;
    bool done_ = false;
};

OutboxStore::OutboxStore(OutboxSpec spec) : spec_(std::move(spec)) {
    if (spec_.kinds.empty() || spec_.kinds.size() > kMaxKinds)
        throw OutboxError(spec_.path + ": an outbox needs 1 to 8 kinds of message");
    const uint64_t allowance =
        std::clamp<uint64_t>(spec_.max_bytes / 4, kWalAllowanceMin, kWalAllowanceMax);
    wal_allowance_ = allowance;
    transaction_bytes_ = allowance / 8;
    reserve_ = std::make_unique<DiskReserve>(spec_.path + "-" + spec_.name + "-reserve", allowance);
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

OutboxStore::~OutboxStore() { sqlite3_close_v2(db_); }

// The one place the file is opened.
void OutboxStore::open() {
    const std::string& path = spec_.path;
    // Made here first so that the outbox, and its -wal and -shm files after
    // it, get the gateway's mode instead of SQLite's 0644.
    std::string error;
    if (!prepare_database_file(path, error)) throw OutboxError(error, true);
    const int rc =
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) fail("cannot open");
    if (sqlite3_db_readonly(db_, "main") == 1)
        throw OutboxError(path + ": cannot open for writing: permission denied", true);
    sqlite3_busy_handler(db_, &OutboxStore::busy, this);
    check_owner();
    {
        Statement s(db_, "PRAGMA page_size");
        if (s.step() == SQLITE_ROW && s.int_at(0) >= 512) page_size_ = s.int_at(0);
    }
    // The log stays within its allowance: checkpoints every quarter of it,
    // and a log grown beyond it (a long read) is cut back.
    const int64_t checkpoint_pages =
        std::max<int64_t>(4, static_cast<int64_t>(wal_allowance_ / 4) / page_size_);
    // WAL: the history writer and readers go on while the outbox commits;
    // FULL: a stored message is on the disk before the writer moves on.
    exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA journal_size_limit=" +
         std::to_string(wal_allowance_) + "; PRAGMA wal_autocheckpoint=" +
         std::to_string(checkpoint_pages) + ";");
    create_schema();
    if (!reserve_->hold(error))
        log_warning("outbox: no room for the reserve (" + error +
                    "); if the disk fills up, counts of dropped messages may be lost");
    load_state();
}

int OutboxStore::busy(void* self, int tries) {
    const auto* store = static_cast<const OutboxStore*>(self);
    if (store->give_up_.load() || tries * kBusyStepMs >= kBusyWaitMs) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(kBusyStepMs));
    return 1;
}

// Only a file that is an outbox's, or the database of the program that may
// hold it, or an empty one, is accepted. A fresh file is made to shrink
// before its first table.
void OutboxStore::check_owner() {
    const std::string& path = spec_.path;
    int64_t app_id = 0;
    {
        Statement s(db_, "PRAGMA application_id");
        const int step = s.prepare_result() == SQLITE_OK ? s.step() : s.prepare_result();
        if (step == SQLITE_NOTADB) throw OutboxError(path + ": not a SQLite database");
        if (step != SQLITE_ROW) fail("cannot read");
        app_id = s.int_at(0);
    }
    own_file_ = !(app_id != 0 && app_id == spec_.host_application_id);
    if (own_file_ && app_id != 0)
        throw OutboxError(path + ": a SQLite database of another program, not an smdgw outbox");
    bool fresh = true;
    {
        Statement s(db_, "SELECT name FROM sqlite_master WHERE type = 'table'");
        int step = s.step();
        for (; step == SQLITE_ROW; step = s.step()) {
            const std::string name = s.text_at(0);
            fresh = false;
            const auto ends = [&](const char* suffix) {
                const std::string x(suffix);
                return name.size() > x.size() &&
                       name.compare(name.size() - x.size(), x.size(), x) == 0;
            };
            const bool ours = name.rfind("sqlite_", 0) == 0 || name.rfind(spec_.name + "_", 0) == 0 ||
                              ends("_outbox") || ends("_sequence") || ends("_drops");
            if (own_file_ && !ours)
                throw OutboxError(path + ": a SQLite database of another program (table \"" +
                                  name + "\"), not an smdgw outbox or history");
        }
        if (step != SQLITE_DONE) fail("cannot read");
    }
    set_up_vacuum(fresh);
}

void OutboxStore::set_up_vacuum(bool fresh) {
    const std::string& path = spec_.path;
    int64_t mode = 0;
    {
        Statement s(db_, "PRAGMA auto_vacuum");
        if (s.step() != SQLITE_ROW) fail("cannot read");
        mode = s.int_at(0);
    }
    if (mode == 2) {
        shrinks_ = true;
        return;
    }
    if (fresh) {
        // Takes effect with the first table.
        exec("PRAGMA auto_vacuum=INCREMENTAL");
        shrinks_ = true;
        return;
    }
    // An existing file is converted by copying it, once, when the disk has
    // room for the copy; else it goes on as it is.
    const int64_t size = file_size(path) + file_size(path + "-wal");
    const int64_t free_bytes = free_bytes_at(path);
    const int64_t needed = kConvertCopies * size + kConvertSlack;
    if (free_bytes >= 0 && free_bytes < needed) {
        log_warning("outbox: " + path + ": kept without incremental vacuum: converting it needs " +
                    mib(needed) + " free beside it, " + mib(free_bytes) +
                    " are; free pages are reused, the file does not shrink");
        return;
    }
    try {
        exec("PRAGMA auto_vacuum=INCREMENTAL; VACUUM;");
        shrinks_ = true;
        log_info("outbox: " + path + ": converted for incremental vacuum (" + mib(size) +
                 "): the file now shrinks as messages leave");
    } catch (const OutboxError& e) {
        log_warning(std::string("outbox: kept without incremental vacuum: ") + e.what() +
                    "; free pages are reused, the file does not shrink");
    }
}

void OutboxStore::create_schema() {
    const std::string outbox = table("_outbox"), sequence = table("_sequence"),
                      drops = table("_drops");
    Transaction tx(*this);
    // AUTOINCREMENT: ids never come back after the newest rows were deleted,
    // so the sender's "everything above the last id handed out" stays right.
    exec("CREATE TABLE IF NOT EXISTS " + outbox +
         " (id INTEGER PRIMARY KEY AUTOINCREMENT, drop_class INTEGER NOT NULL,"
         " target TEXT NOT NULL, payload TEXT NOT NULL, flags INTEGER NOT NULL,"
         " created INTEGER NOT NULL);"
         "CREATE INDEX IF NOT EXISTS " + outbox + "_drop ON " + outbox + "(drop_class, id);"
         "CREATE TABLE IF NOT EXISTS " + sequence +
         " (stream TEXT PRIMARY KEY, last INTEGER NOT NULL);"
         "CREATE TABLE IF NOT EXISTS " + drops +
         " (kind TEXT PRIMARY KEY, total INTEGER NOT NULL, pending INTEGER NOT NULL,"
         " first_ms INTEGER NOT NULL, last_ms INTEGER NOT NULL);");
    // The drop counts' rows exist from now on: counting later only updates
    // them in place, which fits when the disk is full.
    Statement s(db_, ("INSERT OR IGNORE INTO " + drops + " VALUES(?1, 0, 0, 0, 0)").c_str());
    for (const std::string& kind : spec_.kinds) {
        s.bind(1, kind);
        if (s.step() != SQLITE_DONE) fail("cannot create the drop counts");
        s.reset();
    }
    if (spec_.upgrade) spec_.upgrade(db_);
    tx.commit();
}

void OutboxStore::load_state() {
    {
        Statement s(db_, ("SELECT " + std::string(kRowBytes) + " FROM " + table("_outbox")).c_str());
        uint64_t rows = 0, bytes = 0;
        int64_t estimate = 0;
        int step;
        while ((step = s.step()) == SQLITE_ROW) {
            ++rows;
            bytes += static_cast<uint64_t>(s.int_at(0));
            estimate += row_disk_bytes(s.int_at(0), page_size_);
        }
        if (step != SQLITE_DONE) fail("cannot read");
        rows_ = rows;
        bytes_ = bytes;
        estimate_ = estimate;
    }
    {
        Statement s(db_, ("SELECT kind, total FROM " + table("_drops")).c_str());
        while (s.step() == SQLITE_ROW) {
            const auto it = std::find(spec_.kinds.begin(), spec_.kinds.end(), s.text_at(0));
            if (it != spec_.kinds.end())
                dropped_[static_cast<size_t>(it - spec_.kinds.begin())] =
                    static_cast<uint64_t>(s.int_at(1));
        }
    }
    refresh_oldest();
    disk_bytes_ = used_bytes();
}

void OutboxStore::fail(const std::string& what) const {
    const int code = db_ ? sqlite3_errcode(db_) : SQLITE_CANTOPEN;
    const bool full = code == SQLITE_FULL || (db_ && sqlite3_system_errno(db_) == ENOSPC);
    throw OutboxError(spec_.path + ": " + what + ": " +
                          (db_ ? sqlite3_errmsg(db_) : "no connection"),
                      false, full);
}

void OutboxStore::exec(const char* sql) {
    char* msg = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
        const std::string text = msg ? msg : "unknown error";
        sqlite3_free(msg);
        const bool full =
            sqlite3_errcode(db_) == SQLITE_FULL || sqlite3_system_errno(db_) == ENOSPC;
        throw OutboxError(spec_.path + ": " + text, false, full);
    }
}

void OutboxStore::reset_transaction() {
    tx_rows_ = tx_bytes_ = tx_estimate_ = 0;
    tx_dropped_.fill(0);
}

void OutboxStore::committed() {
    rows_ += static_cast<uint64_t>(tx_rows_);
    bytes_ += static_cast<uint64_t>(tx_bytes_);
    estimate_ += tx_estimate_;
    for (size_t k = 0; k < kMaxKinds; ++k) dropped_[k] += tx_dropped_[k];
    reset_transaction();
}

uint64_t OutboxStore::dropped_total() const {
    uint64_t n = 0;
    for (const auto& d : dropped_) n += d.load();
    return n;
}

// Inside a transaction: the message with the next number of its stream.
void OutboxStore::insert(const OutgoingMessage& m) {
    std::string payload = m.payload;
    if (!m.stream.empty()) {
        Statement seq(db_, ("INSERT INTO " + table("_sequence") +
                            "(stream, last) VALUES(?1, 1) ON CONFLICT(stream) DO UPDATE SET "
                            "last = last + 1 RETURNING last")
                               .c_str());
        seq.bind(1, m.stream);
        if (seq.step() != SQLITE_ROW) fail("cannot number a message for " + m.target);
        if (m.seq_at != kNoSequence && m.seq_at <= payload.size())
            payload.insert(m.seq_at, std::to_string(seq.int_at(0)));
    }
    Statement ins(db_, ("INSERT INTO " + table("_outbox") +
                        "(drop_class, target, payload, flags, created) VALUES(?1, ?2, ?3, ?4, ?5)")
                           .c_str());
    ins.bind(1, static_cast<int64_t>(m.kind));
    ins.bind(2, m.target);
    ins.bind(3, payload);
    ins.bind(4, static_cast<int64_t>(m.flags));
    ins.bind(5, m.created_ms);
    if (ins.step() != SQLITE_DONE) fail("cannot store a message for " + m.target);
    const int64_t bytes = static_cast<int64_t>(m.target.size() + payload.size());
    ++tx_rows_;
    tx_bytes_ += bytes;
    tx_estimate_ += row_disk_bytes(bytes, page_size_);
}

// What the bound counts, within a transaction too: the pages in use (the
// outbox's own file) or the rows' estimate (a shared file), the log's
// allowance and the reserve.
uint64_t OutboxStore::used_bytes() {
    int64_t data = estimate_.load() + tx_estimate_;
    if (own_file_) {
        Statement pages(db_, "PRAGMA page_count");
        Statement free_pages(db_, "PRAGMA freelist_count");
        if (pages.step() != SQLITE_ROW || free_pages.step() != SQLITE_ROW) fail("cannot read");
        data = (pages.int_at(0) - free_pages.int_at(0)) * page_size_;
    }
    return static_cast<uint64_t>(std::max<int64_t>(0, data)) + wal_allowance_ + reserve_->bytes();
}

// Inside a transaction: the oldest rows of the first kinds go until the
// outbox fits `target` again; they are counted as dropped.
uint64_t OutboxStore::make_room(uint64_t target) {
    uint64_t dropped = 0;
    Statement pick(db_, ("SELECT id, drop_class, created, " + std::string(kRowBytes) + " FROM " +
                         table("_outbox") + " ORDER BY drop_class, id LIMIT ?1")
                            .c_str());
    Statement del(db_, ("DELETE FROM " + table("_outbox") + " WHERE id = ?1").c_str());
    for (uint64_t used = used_bytes(); used > target; used = used_bytes()) {
        DropTally gone(spec_.kinds.size());
        int64_t freed = 0;
        const int64_t excess = static_cast<int64_t>(used - target);
        pick.bind(1, kDropChunk);
        while (freed < excess && pick.step() == SQLITE_ROW) {
            del.bind(1, pick.int_at(0));
            if (del.step() != SQLITE_DONE) fail("cannot drop");
            del.reset();
            const size_t kind = std::min<size_t>(static_cast<size_t>(pick.int_at(1)),
                                                 spec_.kinds.size() - 1);
            gone[kind].add(pick.int_at(2));
            const int64_t bytes = pick.int_at(3);
            const int64_t estimate = row_disk_bytes(bytes, page_size_);
            freed += estimate;
            --tx_rows_;
            tx_bytes_ -= bytes;
            tx_estimate_ -= estimate;
        }
        pick.reset();
        const uint64_t n = total_count(gone);
        if (n == 0) break;  // nothing left to drop: the bound is smaller than what must stay
        count_drops(gone);
        dropped += n;
    }
    return dropped;
}

void OutboxStore::count_drops(const DropTally& drops) {
    Statement s(db_, ("UPDATE " + table("_drops") +
                      " SET total = total + ?2, pending = pending + ?2,"
                      " first_ms = CASE WHEN pending = 0 THEN ?3 ELSE min(first_ms, ?3) END,"
                      " last_ms = CASE WHEN pending = 0 THEN ?4 ELSE max(last_ms, ?4) END"
                      " WHERE kind = ?1")
                         .c_str());
    for (size_t k = 0; k < drops.size() && k < spec_.kinds.size(); ++k) {
        const DropCount& d = drops[k];
        if (d.count == 0) continue;
        s.bind(1, spec_.kinds[k]);
        s.bind(2, static_cast<int64_t>(d.count));
        s.bind(3, d.first_ms);
        s.bind(4, d.last_ms);
        if (s.step() != SQLITE_DONE) fail("cannot count dropped messages");
        s.reset();
        tx_dropped_[k] += d.count;
    }
}

std::vector<KindDrops> OutboxStore::pending_drops() {
    std::vector<KindDrops> out;
    Statement s(db_, ("SELECT kind, pending, first_ms, last_ms FROM " + table("_drops") +
                      " WHERE pending > 0")
                         .c_str());
    while (s.step() == SQLITE_ROW) {
        KindDrops k;
        k.kind = s.text_at(0);
        k.drops.count = static_cast<uint64_t>(s.int_at(1));
        k.drops.first_ms = s.int_at(2);
        k.drops.last_ms = s.int_at(3);
        out.push_back(std::move(k));
    }
    // In the kinds' order, as the notice lists them.
    std::sort(out.begin(), out.end(), [this](const KindDrops& a, const KindDrops& b) {
        return std::find(spec_.kinds.begin(), spec_.kinds.end(), a.kind) <
               std::find(spec_.kinds.begin(), spec_.kinds.end(), b.kind);
    });
    return out;
}

OutboxStore::Stored OutboxStore::store(std::vector<OutgoingMessage>& batch,
                                       const DropTally& unstored, const DropNotice& notice) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stored result;
    Transaction tx(*this);
    for (const OutgoingMessage& m : batch) insert(m);
    result.messages = batch.size();
    result.bytes = static_cast<uint64_t>(tx_bytes_);
    count_drops(unstored);
    result.dropped = make_room(spec_.max_bytes > kNoticeRoom ? spec_.max_bytes - kNoticeRoom : 0);
    if (notice) {
        const std::vector<KindDrops> pending = pending_drops();
        if (!pending.empty()) {
            uint64_t total = 0;
            for (size_t k = 0; k < kMaxKinds; ++k) total += dropped_[k].load() + tx_dropped_[k];
            const int64_t before = tx_bytes_;
            insert(notice(pending, total));
            result.messages += 1;
            result.bytes += static_cast<uint64_t>(tx_bytes_ - before);
            exec("UPDATE " + table("_drops") + " SET pending = 0, first_ms = 0, last_ms = 0");
            result.noticed = true;
        }
    }
    tx.commit();
    refresh_oldest();
    disk_bytes_ = used_bytes();
    return result;
}

void OutboxStore::record_drops(const DropTally& unstored) {
    if (total_count(unstored) == 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction tx(*this);
    count_drops(unstored);
    tx.commit();
    if (relieved_) exec("PRAGMA wal_checkpoint(TRUNCATE)");
}

void OutboxStore::remove(const std::vector<int64_t>& ids) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t from = 0; from < ids.size(); from += kDeleteChunk) {
        Transaction tx(*this);
        Statement s(db_, ("DELETE FROM " + table("_outbox") + " WHERE id = ?1 RETURNING " +
                          kRowBytes)
                             .c_str());
        if (s.prepare_result() != SQLITE_OK) fail("cannot delete");
        for (size_t i = from; i < ids.size() && i < from + kDeleteChunk; ++i) {
            s.bind(1, ids[i]);
            int rc;
            while ((rc = s.step()) == SQLITE_ROW) {
                --tx_rows_;
                tx_bytes_ -= s.int_at(0);
                tx_estimate_ -= row_disk_bytes(s.int_at(0), page_size_);
            }
            if (rc != SQLITE_DONE) fail("cannot delete");
            s.reset();
        }
        // The counts change only once the deletion committed.
        tx.commit();
        if (relieved_) exec("PRAGMA wal_checkpoint(TRUNCATE)");
    }
    refresh_oldest();
    disk_bytes_ = used_bytes();
}

std::vector<StoredMessage> OutboxStore::read_after(int64_t after_id, size_t limit,
                                                   std::chrono::milliseconds wait) {
    // Tries the lock a few times rather than waiting on it: the writer may
    // hold it through a slow commit, and the sender has a connection to serve.
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    const auto until = std::chrono::steady_clock::now() + wait;
    while (!lock.owns_lock()) {
        if (std::chrono::steady_clock::now() >= until) return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        lock.try_lock();
    }
    std::vector<StoredMessage> out;
    Statement s(db_, ("SELECT id, target, payload, flags, created FROM " + table("_outbox") +
                      " WHERE id > ?1 ORDER BY id LIMIT ?2")
                         .c_str());
    if (s.prepare_result() != SQLITE_OK) fail("cannot read");
    s.bind(1, after_id);
    s.bind(2, static_cast<int64_t>(limit));
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) {
        StoredMessage m;
        m.id = s.int_at(0);
        m.target = s.text_at(1);
        m.payload = s.text_at(2);
        m.flags = static_cast<uint32_t>(s.int_at(3));
        m.created_ms = s.int_at(4);
        out.push_back(std::move(m));
    }
    if (rc != SQLITE_DONE) fail("cannot read");
    return out;
}

void OutboxStore::refresh_oldest() {
    Statement s(db_, ("SELECT created FROM " + table("_outbox") + " ORDER BY id LIMIT 1").c_str());
    oldest_ms_ = s.step() == SQLITE_ROW ? s.int_at(0) : 0;
}

void OutboxStore::relieve() {
    std::lock_guard<std::mutex> lock(mutex_);
    reserve_->release();
    relieved_ = true;
    // Moves the log's pages into the file and gives the log's space back;
    // it may fail while the disk is still full, which the next write tells.
    sqlite3_exec(db_, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
}

bool OutboxStore::take_reserve() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (reserve_->held()) return true;
    // Only with room left beside it for the log, or it would fill the disk
    // again at once.
    const int64_t free_bytes = free_bytes_at(spec_.path);
    if (free_bytes >= 0 &&
        static_cast<uint64_t>(free_bytes) < reserve_->bytes() + wal_allowance_)
        return false;
    std::string error;
    if (!reserve_->hold(error)) return false;
    relieved_ = false;
    return true;
}

void OutboxStore::shrink() {
    if (!shrinks_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    {
        Statement s(db_, "PRAGMA freelist_count");
        if (s.step() != SQLITE_ROW || s.int_at(0) == 0) return;
    }
    exec("PRAGMA incremental_vacuum");
    if (relieved_) exec("PRAGMA wal_checkpoint(TRUNCATE)");
    disk_bytes_ = used_bytes();
}

void OutboxStore::give_up() {
    give_up_ = true;
    sqlite3_interrupt(db_);
}

}  // namespace smdgw
