#include "tools/smdgw/history/history_writer.h"

#include <utility>

#include "tools/smdgw/core/log.h"

namespace smdgw {

namespace {

// Upper bound of one transaction, so a backlog is written in short steps.
constexpr size_t kMaxBatch = 512;

}  // namespace

HistoryWriter::HistoryWriter(HistoryStore& store, Retention retention, Clock now,
                             CommitObserver observer, size_t queue_limit)
    : store_(store),
      retention_(retention),
      now_(std::move(now)),
      observer_(std::move(observer)),
      queue_limit_(queue_limit == 0 ? 1 : queue_limit),
      since_prune_(kPruneEvery),
      thread_([this] { run(); }) {}

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

void HistoryWriter::flush() {
    std::unique_lock<std::mutex> lk(mutex_);
    const uint64_t target = added_;
    done_.wait(lk, [&] { return finished_ >= target; });
}

std::optional<StoredRecord> HistoryWriter::newest(const std::string& device) {
    std::lock_guard<std::mutex> lk(store_mutex_);
    return store_.newest(device);
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

void HistoryWriter::store_batch(std::vector<StoredRecord>& batch) {
    bool ok = true;
    try {
        std::lock_guard<std::mutex> lk(store_mutex_);
        store_.insert(batch);
    } catch (const std::exception& e) {
        ok = false;
        log_error(std::string("history: ") + e.what() + "; " + std::to_string(batch.size()) +
                  " record(s) not stored");
    }
    uint64_t committed = 0;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        finished_ += batch.size();
        (ok ? committed_ : failed_) += batch.size();
        if (ok) since_prune_ += batch.size();
        committed = committed_;
    }
    done_.notify_all();
    if (ok && observer_) observer_(committed);
}

void HistoryWriter::run() {
    for (;;) {
        bool prune = false;
        {
            std::lock_guard<std::mutex> lk(mutex_);
            if (since_prune_ >= kPruneEvery) {
                since_prune_ = 0;
                prune = true;
            }
        }
        if (prune) {
            try {
                std::lock_guard<std::mutex> lk(store_mutex_);
                store_.prune(retention_, now_());
            } catch (const std::exception& e) {
                log_error(std::string("history: ") + e.what());
            }
        }
        std::vector<StoredRecord> batch;
        {
            std::unique_lock<std::mutex> lk(mutex_);
            wake_.wait(lk, [&] { return stop_ || !queue_.empty(); });
            if (queue_.empty()) return;  // stopping, nothing left
            while (!queue_.empty() && batch.size() < kMaxBatch) {
                batch.push_back(std::move(queue_.front()));
                queue_.pop_front();
            }
        }
        store_batch(batch);
    }
}

}  // namespace smdgw
