#pragma once
// Stores records on a thread of its own, so the thread that handles frames
// only queues them. Whatever has queued up meanwhile is written in one short
// transaction; retention is applied now and then between batches.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "tools/smdgw/history/history_store.h"

namespace smdgw {

class HistoryWriter {
   public:
    using Clock = std::function<int64_t()>;
    // Called on the writer thread after each commit with the total committed.
    using CommitObserver = std::function<void(uint64_t committed)>;

    // Records queued beyond this are dropped (oldest first) while the disk lags.
    static constexpr size_t kDefaultQueueLimit = 4096;
    // Retention is applied after this many stored records (and at start).
    static constexpr uint64_t kPruneEvery = 256;

    HistoryWriter(HistoryStore& store, Retention retention, Clock now, CommitObserver observer = {},
                  size_t queue_limit = kDefaultQueueLimit);
    // Stores everything still queued, then stops.
    ~HistoryWriter();
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    // Queues a record; only waits for the queue's lock.
    void add(StoredRecord record);
    // Returns when everything added before the call is stored or has failed.
    void flush();
    // Reads the store between batches.
    std::optional<StoredRecord> newest(const std::string& device);

    uint64_t committed() const;
    uint64_t dropped() const;
    uint64_t failed() const;

   private:
    void run();
    void store_batch(std::vector<StoredRecord>& batch);

    HistoryStore& store_;
    const Retention retention_;
    const Clock now_;
    const CommitObserver observer_;
    const size_t queue_limit_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<StoredRecord> queue_;
    bool stop_ = false;
    uint64_t added_ = 0;     // records ever added
    uint64_t finished_ = 0;  // records committed, dropped or failed
    uint64_t committed_ = 0;
    uint64_t dropped_ = 0;
    uint64_t failed_ = 0;
    uint64_t since_prune_ = 0;
    bool reported_drop_ = false;

    std::mutex store_mutex_;  // one user of the connection at a time
    std::thread thread_;
};

}  // namespace smdgw
