#include "tools/smdgw/history/history_writer.h"

#include <utility>

#include "record/veltra_record.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/history/history_columns.h"

namespace smdgw {

namespace {

// Upper bound of one transaction, so a backlog is written in short steps.
constexpr size_t kMaxBatch = 512;
// While the database keeps failing, it is said again at most this often.
constexpr auto kReportEvery = std::chrono::seconds(60);

}  // namespace

HistoryWriter::HistoryWriter(HistoryStore& store, Retention retention, Clock now,
                             CommitObserver observer, size_t queue_limit,
                             std::chrono::milliseconds commit_interval, bool rollups)
    : store_(store),
      retention_(retention),
      now_(std::move(now)),
      observer_(std::move(observer)),
      queue_limit_(queue_limit == 0 ? 1 : queue_limit),
      commit_interval_(commit_interval),
      rollups_on_(rollups),
      thread_([this] { run(); }) {}

namespace {

std::vector<RollupAccumulator> accumulators() {
    std::vector<RollupAccumulator> out;
    for (size_t span = 0; span < kRollupSpanCount; ++span) out.emplace_back(span);
    return out;
}

}  // namespace

HistoryWriter::~HistoryWriter() {
    {
        std::lock_guard<std::mutex> lk(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void HistoryWriter::add(StoredRecord record) {
    bool report = false;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (queue_.size() >= queue_limit_) {
            queue_.pop_front();
            ++dropped_;
            ++finished_;
            report = !reported_drop_;
            reported_drop_ = true;
        }
        queue_.push_back(std::move(record));
        ++added_;
    }
    wake_.notify_one();
    if (report) {
        log_warning("history: the database falls behind; dropping the oldest queued records");
    }
}

void HistoryWriter::save_alarms(StoredAlarms alarms) {
    {
        std::lock_guard<std::mutex> lk(mutex_);
        const std::string device = alarms.device;
        alarms_[device] = std::move(alarms);
    }
    wake_.notify_one();
}

void HistoryWriter::log_alarm(AlarmLogEntry change) {
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (changes_.size() >= queue_limit_) {
            changes_.pop_front();
            ++changes_dropped_;
        }
        changes_.push_back(std::move(change));
    }
    wake_.notify_one();
}

void HistoryWriter::flush() {
    std::unique_lock<std::mutex> lk(mutex_);
    const uint64_t target = added_;
    ++flushing_;
    wake_.notify_all();
    done_.wait(lk,
               [&] {
                   return (finished_ >= target && alarms_.empty() && changes_.empty() &&
                           !writing_) ||
                          failing_;
               });
    --flushing_;
}

std::optional<StoredRecord> HistoryWriter::newest(const std::string& device, bool complete_only) {
    std::lock_guard<std::mutex> lk(store_mutex_);
    return store_.newest(device, complete_only);
}

std::vector<ActiveAlarm> HistoryWriter::active_alarms(const std::string& device) {
    std::lock_guard<std::mutex> lk(store_mutex_);
    return store_.active_alarms(device);
}

uint64_t HistoryWriter::committed() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return committed_;
}

uint64_t HistoryWriter::dropped() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return dropped_;
}

uint64_t HistoryWriter::failed() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return failed_;
}

uint64_t HistoryWriter::errors() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return errors_;
}

size_t HistoryWriter::queued() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return queue_.size() + in_flight_;
}

bool HistoryWriter::store_batch(std::vector<StoredRecord>& batch,
                                std::vector<StoredAlarms>& alarms,
                                std::vector<AlarmLogEntry>& changes) {
    std::string error;
    bool refused = false;
    HistoryBatch b;
    b.records.swap(batch);
    b.alarms.swap(alarms);
    b.alarm_log.swap(changes);
    try {
        // Summed up in place; should the batch fail, they are rebuilt from
        // what was committed before the next one. While that fails, rounds
        // are still stored (without roll-ups for now): the rebuild that
        // passes counts them.
        if (rebuild_due_) rebuild_rollups();
        for (const StoredRecord& r : b.records) {
            if (rollups_.empty() || r.bytes.size() != kRecordSize) continue;
            history_values(r, values_);
            for (RollupAccumulator& acc : rollups_) acc.add(r, values_, b.rollups);
        }
        std::lock_guard<std::mutex> lk(store_mutex_);
        store_.write(b, &retention_, now_());
    } catch (const HistoryError& e) {
        error = e.what();
        refused = e.refused_data();
    } catch (const std::exception& e) {
        error = e.what();
    }
    batch.swap(b.records);
    alarms.swap(b.alarms);
    changes.swap(b.alarm_log);
    if (!error.empty()) rebuild_due_ = rollups_on_;
    if (error.empty()) {
        uint64_t committed = 0;
        bool resumed = false;
        {
            std::lock_guard<std::mutex> lk(mutex_);
            finished_ += batch.size();
            committed_ += batch.size();
            committed = committed_;
            last_commit_ = std::chrono::steady_clock::now();
            resumed = failing_;
            failing_ = false;
            writing_ = false;
            in_flight_ = 0;
            retry_delay_ = kFirstRetry;
        }
        if (resumed)
            log_info("history: writing resumed; " + std::to_string(batch.size()) +
                     " waiting record(s) stored");
        done_.notify_all();
        if (observer_) observer_(committed);
        return true;
    }
    std::unique_lock<std::mutex> lk(mutex_);
    ++errors_;
    writing_ = false;
    in_flight_ = 0;
    if (refused || stop_) {
        // Trying again cannot help, or there is no later: the batch is lost,
        // and when stopping so is whatever still waits.
        size_t lost = batch.size();
        if (stop_) {
            lost += queue_.size();
            queue_.clear();
            alarms_.clear();
            changes_.clear();
        }
        finished_ += lost;
        failed_ += lost;
        lk.unlock();
        log_error("history: " + error + "; " + std::to_string(lost) + " record(s) not stored");
        done_.notify_all();
        return true;
    }
    // Kept for a retry, at the head of the queue, within its bound.
    const auto now = std::chrono::steady_clock::now();
    const bool say = !failing_ || now - last_report_ >= kReportEvery;
    failing_ = true;
    for (auto it = alarms.rbegin(); it != alarms.rend(); ++it)
        alarms_.emplace(it->device, std::move(*it));  // a newer set wins
    for (auto it = changes.rbegin(); it != changes.rend(); ++it) {
        if (changes_.size() >= queue_limit_) break;
        changes_.push_front(std::move(*it));
    }
    size_t keep = batch.size();
    while (keep > 0 && queue_.size() + keep > queue_limit_) --keep;
    const size_t lost = batch.size() - keep;
    dropped_ += lost;
    finished_ += lost;
    for (size_t k = batch.size(); k-- > lost;) queue_.push_front(std::move(batch[k]));
    const size_t waiting = queue_.size();
    pause_ = retry_delay_;
    const auto delay = pause_;
    retry_delay_ = std::min(retry_delay_ * 2, kMaxRetry);
    if (say) last_report_ = now;
    lk.unlock();
    done_.notify_all();
    if (say)
        log_error("history: " + error + "; " + std::to_string(waiting) +
                  " record(s) kept in memory, retrying in " + std::to_string(delay.count()) +
                  " ms");
    return false;
}

void HistoryWriter::wait_for_batch(std::unique_lock<std::mutex>& lk) {
    if (failing_) {
        // The pause before the next attempt; a stop cuts it short.
        wake_.wait_for(lk, pause_, [&] { return stop_; });
        return;
    }
    wake_.wait(lk,
               [&] { return stop_ || !queue_.empty() || !alarms_.empty() || !changes_.empty(); });
    // Rounds that come within the interval join this commit.
    wake_.wait_until(lk, last_commit_ + commit_interval_,
                     [&] { return stop_ || flushing_ > 0 || queue_.size() >= kMaxBatch; });
}

void HistoryWriter::run() {
    for (;;) {
        if (!pruned_) {
            // What the retention no longer keeps from before the start, in
            // short transactions; later batches trim as they commit.
            pruned_ = true;
            try {
                std::lock_guard<std::mutex> lk(store_mutex_);
                store_.prune(retention_, now_());
            } catch (const std::exception& e) {
                log_error(std::string("history: ") + e.what());
            }
            if (rollups_on_) rebuild_rollups();
        }
        std::vector<StoredRecord> batch;
        std::vector<StoredAlarms> alarms;
        std::vector<AlarmLogEntry> changes;
        {
            std::unique_lock<std::mutex> lk(mutex_);
            wait_for_batch(lk);
            if (queue_.empty() && alarms_.empty() && changes_.empty()) {
                if (stop_) return;  // stopping, nothing left
                continue;
            }
            while (!queue_.empty() && batch.size() < kMaxBatch) {
                batch.push_back(std::move(queue_.front()));
                queue_.pop_front();
            }
            for (auto& kv : alarms_) alarms.push_back(std::move(kv.second));
            alarms_.clear();
            while (!changes_.empty() && changes.size() < kMaxBatch) {
                changes.push_back(std::move(changes_.front()));
                changes_.pop_front();
            }
            writing_ = true;
            in_flight_ = batch.size();
        }
        store_batch(batch, alarms, changes);
    }
}

bool HistoryWriter::rebuild_rollups() {
    std::vector<RollupAccumulator> rebuilt = accumulators();
    HistoryBatch b;
    try {
        std::lock_guard<std::mutex> lk(store_mutex_);
        for (const std::string& device : store_.devices()) {
            for (RollupAccumulator& acc : rebuilt) {
                const int64_t seconds = kRollupSpans[acc.span()].seconds;
                // Rounds of a minute or hour already written counted there.
                HistoryFilter f;
                f.device = device;
                if (auto last = store_.newest_rollup_start(acc.span(), device))
                    f.since = *last + seconds;
                store_.for_each(f, [&](const StoredRecord& r) {
                    if (r.bytes.size() != kRecordSize) return;
                    history_values(r, values_);
                    acc.add(r, values_, b.rollups);
                });
            }
        }
        store_.write(b, &retention_, now_());
        rollups_ = std::move(rebuilt);
        rebuild_due_ = false;
        return true;
    } catch (const std::exception& e) {
        // Tried again before the next batch; until it passes no roll-up is
        // summed up or written, and the one that passes counts the rounds
        // stored meanwhile.
        rollups_.clear();
        rebuild_due_ = true;
        log_error(std::string("history: rebuilding the roll-ups: ") + e.what());
        return false;
    }
}

}  // namespace smdgw
