#pragma once
// Puts messages into a durable outbox on a thread of its own, so that the
// thread that makes them (the one following the line) only queues them in
// memory: neither the disk nor the receiver ever slows it or a stop.
//
// - Deletes of acknowledged messages come first, whatever else fails: they
//   free space.
// - Messages are stored in small transactions (OutboxStore::transaction_bytes).
// - The memory backlog is bounded in bytes; beyond it the oldest message of
//   the first kind goes. Every message that is not stored is counted by
//   kind, with the span of time it was made in; the count is written to the
//   outbox (in place, so a full disk does not stop it) and announced by a
//   notice once messages can be stored again.
// - A failing disk is tried again on the shared retry schedule, and said
//   once, then at most once a minute, then once when it works again.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tools/smdgw/core/log_limiter.h"
#include "tools/smdgw/core/retry_backoff.h"
#include "tools/smdgw/outbox/outbox_counters.h"
#include "tools/smdgw/outbox/outbox_store.h"

namespace smdgw {

struct OutboxWriterOptions {
    // The memory backlog's bound, in bytes.
    uint64_t memory_bytes = 4 << 20;
    // The start of every log line ("mqtt: outbox").
    std::string log_name = "outbox";
    // Makes the notice of drops; none: drops are counted, not announced.
    DropNotice notice;
    // Notices at most this often, and at a stop.
    double notice_interval_s = 60.0;
};

class OutboxWriter {
   public:
    using SteadyClock = std::chrono::steady_clock;

    OutboxWriter(OutboxStore& store, OutboxCounters& counters, OutboxWriterOptions options);
    // stop() now, if not done yet.
    ~OutboxWriter();
    OutboxWriter(const OutboxWriter&) = delete;
    OutboxWriter& operator=(const OutboxWriter&) = delete;

    void add(OutgoingMessage m);
    // The receiver took these stored messages: they are deleted.
    void acknowledge(const std::vector<int64_t>& ids);
    // Whether a message was acknowledged and waits to be deleted, so that
    // the sender does not send it again.
    bool acknowledged(int64_t id) const;
    size_t acknowledged_waiting() const;
    // Nothing waits in memory, to be stored or deleted.
    bool idle() const;

    // Goes on storing and deleting until everything is done or `deadline`;
    // what is still in memory then is counted as dropped, and the counts are
    // written. Returns false when the thread did not end in time (a disk
    // that does not answer): it is left to run, and the store must outlive it.
    bool stop(SteadyClock::time_point deadline);

    // After stop(): what was dropped before storage in this run, by kind, and
    // whether those counts are in the outbox.
    DropTally dropped_this_run() const;
    bool drops_recorded() const;

   private:
    void run();
    void take_front(std::vector<OutgoingMessage>& batch);
    void put_back(std::vector<OutgoingMessage>& batch);
    void drop_front_lowest();
    void count_unstored(const OutgoingMessage& m);
    void show_tally();
    bool has_tally() const;
    // Deletes `ids`, smaller parts at a time on a full disk; those deleted
    // are added to `deleted`, those left stay in `ids` (false: said).
    bool delete_acknowledged(std::vector<int64_t>& ids, std::vector<int64_t>& deleted);
    bool write_batch(std::vector<OutgoingMessage>& batch, const DropTally& tally, bool notice_due);
    bool write_tally(const DropTally& tally);
    void shrink();
    // A write failed; `in_hand`: messages out of the queue for it.
    void failed(const OutboxError& e, const char* doing, size_t in_hand = 0);
    void recovered();
    void drop_remaining();
    double now_s() const;

    OutboxStore& store_;
    OutboxCounters& counters_;
    const OutboxWriterOptions options_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable finished_cv_;
    std::deque<OutgoingMessage> queue_;
    uint64_t queue_bytes_ = 0;
    std::vector<size_t> queued_by_kind_;
    std::vector<int64_t> acks_;
    std::set<int64_t> acked_;  // acknowledged, not yet deleted
    DropTally tally_;          // not yet written to the outbox
    DropTally run_dropped_;
    bool announce_ = true;     // drops of an earlier run may wait for their notice
    bool stop_ = false;
    bool finished_ = false;
    SteadyClock::time_point deadline_{};
    SteadyClock::time_point store_retry_at_{};
    SteadyClock::time_point delete_retry_at_{};
    SteadyClock::time_point last_notice_{};
    bool noticed_ = false;
    int busy_ = 0;  // a batch or deletes are being written
    int delete_failures_ = 0;
    bool drops_recorded_ = true;

    // The writer thread's own.
    RetryBackoff backoff_;
    LogLimiter failure_log_{60.0};
    SteadyClock::time_point failing_since_{};
    uint64_t unstored_at_failure_ = 0;
    std::string last_error_;

    std::thread thread_;
};

}  // namespace smdgw
