#pragma once
// The durable outbox: every message for the broker is a row of an SQLite
// table (WAL) until the broker acknowledged it. It lives in the --history
// database or a file of its own; each user of the file has its own connection
// and waits for the other's locks. pub_seq counters are kept beside the rows,
// so they go on across restarts. One mutex guards the connection; the outbox
// writer and the publisher each use it briefly.

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tools/smdgw/mqtt/mqtt_message.h"

namespace smdgw {

class OutboxError : public std::runtime_error {
   public:
    // file_unavailable: the file could not be opened for writing (a missing
    // folder, its permissions, a full disk), which a later start may mend.
    explicit OutboxError(const std::string& what, bool file_unavailable = false)
        : std::runtime_error(what), file_unavailable_(file_unavailable) {}
    bool file_unavailable() const { return file_unavailable_; }

   private:
    bool file_unavailable_;
};

class MqttOutbox {
   public:
    // Opens or creates the outbox tables in `path`; throws OutboxError naming
    // the file when it cannot, or when the file belongs to another program.
    MqttOutbox(const std::string& path, uint64_t max_bytes);
    ~MqttOutbox();
    MqttOutbox(const MqttOutbox&) = delete;
    MqttOutbox& operator=(const MqttOutbox&) = delete;

    // The pub_seq counters as the outbox last stored them.
    PubSeq& pub_seq() { return pub_seq_; }

    // Makes the retained notice that follows whenever messages were dropped,
    // from the new total.
    void set_dropped_notice(std::function<PendingMessage(uint64_t total)> notice) {
        dropped_notice_ = std::move(notice);
    }

    // Stores the batch in one transaction, with the pub_seq of each device
    // and kind; then drops the oldest rows of the lowest drop class while the
    // outbox is over its bound, and queues the dropped notice (replacing the
    // one before). Returns how many were dropped.
    uint64_t append(const std::vector<PendingMessage>& batch);

    // Up to `limit` messages with an id above `after_id`, oldest first.
    std::vector<OutboxMessage> after(int64_t after_id, size_t limit);
    // Deletes acknowledged messages (ids already gone are ignored).
    void remove(const std::vector<int64_t>& ids);

    uint64_t bytes() const { return bytes_.load(); }
    uint64_t rows() const { return rows_.load(); }
    // Queue time of the oldest message (Unix ms), 0 when empty.
    int64_t oldest_ms() const { return oldest_ms_.load(); }
    // Dropped over the file's life, across restarts.
    uint64_t dropped_total() const { return dropped_total_.load(); }
    const std::string& path() const { return path_; }

   private:
    void open();
    void exec(const char* sql);
    [[noreturn]] void fail(const std::string& what) const;
    void create_schema();
    void load_state();
    void refresh_oldest();
    void store(const PendingMessage& m);
    uint64_t enforce_bound(uint64_t bound);
    void count_dropped(uint64_t dropped);

    sqlite3* db_ = nullptr;
    const std::string path_;
    const uint64_t max_bytes_;
    std::mutex mutex_;
    std::function<PendingMessage(uint64_t)> dropped_notice_;
    PubSeq pub_seq_;
    std::atomic<uint64_t> bytes_{0};
    std::atomic<uint64_t> rows_{0};
    std::atomic<int64_t> oldest_ms_{0};
    std::atomic<uint64_t> dropped_total_{0};
};

}  // namespace smdgw
