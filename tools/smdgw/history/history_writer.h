#pragma once
// Stores records on a thread of its own, so the thread that handles frames
// only queues them. Records are committed in batches bounded in time: a
// record waits at most the commit interval after the last commit, and
// everything queued by then goes in one short transaction, together with
// the device's alarm set, the alarm changes, the minutes and hours the
// batch's rounds close (summed up in memory as rounds come; at start the
// open ones are rebuilt from the rounds stored since the last roll-up
// written) and the rows the retention no longer keeps. Fewer
// commits spare the flash of a gateway: each commit of a WAL database with
// synchronous=FULL writes and syncs its pages again.
//
// A database that fails underneath (disk full, I/O, a lock held too long)
// never stops the line: the error is reported, the batch goes back to the
// head of the queue, and the writer tries again with a growing pause until
// it passes. The queue is bounded; beyond it the oldest records are dropped
// and counted. Records the database refuses as such (a constraint) are not
// retried.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/smdgw/history/history_store.h"

namespace smdgw {

class HistoryWriter {
   public:
    using Clock = std::function<int64_t()>;
    // Called on the writer thread after each commit with the total committed.
    using CommitObserver = std::function<void(uint64_t committed)>;

    // Records queued beyond this are dropped (oldest first) while the disk lags.
    static constexpr size_t kDefaultQueueLimit = 4096;
    // Pauses between attempts on a failing database: doubling up to the cap.
    static constexpr std::chrono::milliseconds kFirstRetry{500};
    static constexpr std::chrono::milliseconds kMaxRetry{30000};

    // commit_interval 0: every record is written as soon as the thread gets to it.
    // rollups false: no roll-ups are summed up or written (to measure what
    // they cost).
    HistoryWriter(HistoryStore& store, Retention retention, Clock now, CommitObserver observer = {},
                  size_t queue_limit = kDefaultQueueLimit,
                  std::chrono::milliseconds commit_interval = std::chrono::milliseconds(0),
                  bool rollups = true);
    // Stores everything still queued (one last attempt when failing), then stops.
    ~HistoryWriter();
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    // Queues a record; only waits for the queue's lock.
    void add(StoredRecord record);
    // Queues the device's whole set of active alarms; a later set replaces
    // one not yet written.
    void save_alarms(StoredAlarms alarms);
    // Queues an alarm change for the alarm log (bounded like the records).
    void log_alarm(AlarmLogEntry change);
    // Commits at once and returns when everything added before the call is
    // stored, has failed or, while the database fails, waits for a retry.
    void flush();
    // Reads the store between batches.
    std::optional<StoredRecord> newest(const std::string& device, bool complete_only = false);
    std::vector<ActiveAlarm> active_alarms(const std::string& device);

    uint64_t committed() const;
    uint64_t dropped() const;
    uint64_t failed() const;
    // Failed attempts to write (each batch attempt counts once).
    uint64_t errors() const;
    // Records waiting in memory, the batch being written included.
    size_t queued() const;

   private:
    void run();
    // Waits, holding lk, for the next batch to be due: something queued and
    // the commit interval over (or a stop, a flush, a full batch).
    void wait_for_batch(std::unique_lock<std::mutex>& lk);
    // True when the batch was written or given up.
    bool store_batch(std::vector<StoredRecord>& batch, std::vector<StoredAlarms>& alarms,
                     std::vector<AlarmLogEntry>& changes);
    // At start, and after a batch that failed: the roll-ups of the rounds
    // stored since each device's last written minute and hour; the closed
    // ones are written, the open ones stay in memory. False when the
    // database failed (said on standard error).
    bool rebuild_rollups();

    HistoryStore& store_;
    const Retention retention_;
    const Clock now_;
    const CommitObserver observer_;
    const size_t queue_limit_;
    const std::chrono::milliseconds commit_interval_;
    const bool rollups_on_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<StoredRecord> queue_;
    std::map<std::string, StoredAlarms> alarms_;  // by device, newest set only
    std::deque<AlarmLogEntry> changes_;          // alarm changes to log
    uint64_t changes_dropped_ = 0;
    // The open minute and hour of each device; only the writer thread uses them.
    std::vector<RollupAccumulator> rollups_;
    // A batch failed after its rounds were summed up: the open roll-ups are
    // rebuilt from what was committed before the next one.
    bool rebuild_due_ = false;
    std::vector<float> values_;  // one round's values
    bool stop_ = false;
    uint64_t added_ = 0;     // records ever added
    uint64_t finished_ = 0;  // records committed, dropped or failed
    uint64_t committed_ = 0;
    uint64_t dropped_ = 0;
    uint64_t failed_ = 0;
    uint64_t errors_ = 0;
    bool pruned_ = false;         // the retention's backlog at start is done
    unsigned flushing_ = 0;       // flush() calls waiting: commit at once
    std::chrono::steady_clock::time_point last_commit_{};
    bool reported_drop_ = false;
    bool failing_ = false;  // the last attempt failed; a retry is due
    bool writing_ = false;  // a batch is out of the queue, being written
    size_t in_flight_ = 0;  // its records
    std::chrono::milliseconds retry_delay_ = kFirstRetry;
    std::chrono::milliseconds pause_ = kFirstRetry;
    std::chrono::steady_clock::time_point last_report_;

    std::mutex store_mutex_;  // one user of the connection at a time
    std::thread thread_;
};

}  // namespace smdgw
