#pragma once
// A durable outbox: messages wait as rows of an SQLite table until the
// receiver acknowledged them. The file may be the outbox's own or a database
// shared with others (the history); each user has its own connection.
//
// Tables, "<name>" being the outbox's name:
//   <name>_outbox    one row per message: id, kind, target, payload, flags, made at
//   <name>_sequence  the last sequence number given in each stream
//   <name>_drops     one row per kind, made when the outbox opens and
//                    updated in place: dropped over the file's life, and
//                    those not yet announced with their time span
//
// The bound counts what the outbox takes on the disk: the pages its rows use
// (the whole file when it is the outbox's own), the write-ahead log it allows
// itself and the space it holds in reserve (DiskReserve). Beyond it the
// oldest messages of the first kind go first. Free pages go back to the file
// system (incremental vacuum), so the file shrinks as messages leave.
//
// One connection, used by the writer thread for every change and by the
// sender to read; a mutex guards it. Reads wait for it only briefly.

#include <sqlite3.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/smdgw/outbox/disk_reserve.h"
#include "tools/smdgw/outbox/drop_count.h"
#include "tools/smdgw/outbox/outbox_message.h"

namespace smdgw {

class OutboxError : public std::runtime_error {
   public:
    // file_unavailable: the file could not be opened for writing (a missing
    // folder, its permissions, a full disk), which a later start may mend.
    // disk_full: SQLite found no room on the disk.
    explicit OutboxError(const std::string& what, bool file_unavailable = false,
                         bool disk_full = false)
        : std::runtime_error(what), file_unavailable_(file_unavailable), disk_full_(disk_full) {}
    bool file_unavailable() const { return file_unavailable_; }
    bool disk_full() const { return disk_full_; }

   private:
    bool file_unavailable_;
    bool disk_full_;
};

struct OutboxSpec {
    std::string path;
    std::string name;  // the tables' prefix
    uint64_t max_bytes = uint64_t(1) << 30;
    // The kinds of message, in drop order: the first kind goes first when
    // the outbox is full. At most kMaxKinds.
    std::vector<std::string> kinds;
    // A database with this application ID (not 0) may hold the outbox beside
    // its own tables; any other file must be an outbox's alone.
    int64_t host_application_id = 0;
    // Brings tables of an earlier layout up to date; runs inside the
    // transaction that creates the tables, throws OutboxError.
    std::function<void(sqlite3*)> upgrade;
};

// Makes the notice that announces drops not yet announced; its kind and
// stream are the sender's choice like any other message.
using DropNotice = std::function<OutgoingMessage(const std::vector<KindDrops>& pending,
                                                 uint64_t dropped_total)>;

class OutboxStore {
   public:
    static constexpr size_t kMaxKinds = kMaxOutboxKinds;
    // The smallest bound: the tables, the write-ahead log and the reserve
    // need about half of it.
    static constexpr uint64_t kMinBytes = 256 * 1024;

    // Opens or creates the outbox in spec.path; throws OutboxError naming the
    // file when it cannot, or when the file belongs to another program.
    explicit OutboxStore(OutboxSpec spec);
    ~OutboxStore();
    OutboxStore(const OutboxStore&) = delete;
    OutboxStore& operator=(const OutboxStore&) = delete;

    // Stores the batch in one transaction, each message with the next
    // sequence number of its stream; counts `unstored` (what the writer had
    // to let go) and what the bound drops; with `notice` given and drops not
    // yet announced, stores the notice too. All or nothing: throws
    // OutboxError and the batch keeps no number.
    struct Stored {
        uint64_t messages = 0;
        uint64_t bytes = 0;
        uint64_t dropped = 0;  // by the bound, this time
        bool noticed = false;
    };
    Stored store(std::vector<OutgoingMessage>& batch, const DropTally& unstored,
                 const DropNotice& notice);
    // Counts drops without storing a message: the rows are updated in place.
    void record_drops(const DropTally& unstored);
    // Deletes acknowledged messages (ids already gone are ignored).
    void remove(const std::vector<int64_t>& ids);
    // Up to `limit` messages with an id above `after_id`, oldest first;
    // nothing when the connection stays busy for `wait` (the writer commits).
    std::vector<StoredMessage> read_after(int64_t after_id, size_t limit,
                                          std::chrono::milliseconds wait);

    // The disk is full: gives the reserve back and empties the write-ahead
    // log into the file, so that deletes and drop counts fit. Until
    // take_reserve() succeeds no message should be stored.
    void relieve();
    bool relieved() const { return relieved_; }
    // Takes the reserve again when the disk has room; false while it has not.
    bool take_reserve();
    // Returns free pages to the file system; after deletes.
    void shrink();
    // Makes a busy wait or a running statement give up at once (a stop
    // that cannot wait any more).
    void give_up();

    // Messages largest per transaction (at least one message each).
    uint64_t transaction_bytes() const { return transaction_bytes_; }

    // Committed state, for any thread.
    uint64_t messages() const { return rows_.load(); }
    uint64_t bytes() const { return bytes_.load(); }
    int64_t oldest_ms() const { return oldest_ms_.load(); }
    // What the bound counts, as last measured.
    uint64_t disk_bytes() const { return disk_bytes_.load(); }
    uint64_t max_bytes() const { return spec_.max_bytes; }
    // Dropped over the file's life, by kind and in all.
    uint64_t dropped(size_t kind) const { return kind < kMaxKinds ? dropped_[kind].load() : 0; }
    uint64_t dropped_total() const;
    const std::vector<std::string>& kinds() const { return spec_.kinds; }
    const std::string& path() const { return spec_.path; }
    // Whether the file shrinks (incremental vacuum); else free pages are only reused.
    bool shrinks() const { return shrinks_; }

   private:
    class Transaction;

    void open();
    void check_owner();
    void set_up_vacuum(bool fresh);
    void create_schema();
    void load_state();
    void exec(const char* sql);
    void exec(const std::string& sql) { exec(sql.c_str()); }
    [[noreturn]] void fail(const std::string& what) const;
    std::string table(const char* suffix) const { return spec_.name + suffix; }

    void reset_transaction();
    void insert(const OutgoingMessage& m);
    uint64_t make_room(uint64_t target_bytes);
    uint64_t used_bytes();
    void count_drops(const DropTally& drops);
    std::vector<KindDrops> pending_drops();
    void committed();
    void refresh_oldest();
    static int busy(void* self, int tries);

    const OutboxSpec spec_;
    sqlite3* db_ = nullptr;
    std::mutex mutex_;
    bool own_file_ = true;  // false inside the history database
    bool shrinks_ = false;
    int64_t page_size_ = 4096;
    uint64_t wal_allowance_ = 0;
    uint64_t transaction_bytes_ = 0;
    std::unique_ptr<DiskReserve> reserve_;
    bool relieved_ = false;
    std::atomic<bool> give_up_{false};

    // Within a transaction; committed() publishes them.
    int64_t tx_rows_ = 0;
    int64_t tx_bytes_ = 0;
    int64_t tx_estimate_ = 0;
    std::array<uint64_t, kMaxKinds> tx_dropped_{};

    std::atomic<uint64_t> rows_{0};
    std::atomic<uint64_t> bytes_{0};
    std::atomic<int64_t> estimate_{0};  // the rows' pages, estimated
    std::atomic<int64_t> oldest_ms_{0};
    std::atomic<uint64_t> disk_bytes_{0};
    std::array<std::atomic<uint64_t>, kMaxKinds> dropped_{};
};

}  // namespace smdgw
