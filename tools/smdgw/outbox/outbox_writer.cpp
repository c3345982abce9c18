#include "tools/smdgw/outbox/outbox_writer.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>

#include "tools/smdgw/core/bounded_join.h"
#include "tools/smdgw/core/log.h"

namespace smdgw {

namespace {

// A failing disk is tried again after 0.5 s, 1 s, 2 s ... at most 5 s apart.
RetryPolicy retry_policy() {
    RetryPolicy p;
    p.base_s = 0.5;
    p.cap_s = 5.0;
    return p;
}

// After a stop's deadline: this long for the last counts, then the disk's
// waits are cut short, then the thread is left behind.
constexpr auto kStopGrace = std::chrono::milliseconds(500);
constexpr auto kGiveUpGrace = std::chrono::milliseconds(300);

std::string seconds_text(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", s);
    return text;
}

void merge(DropTally& into, const DropTally& from) {
    if (into.size() < from.size()) into.resize(from.size());
    for (size_t k = 0; k < from.size(); ++k) into[k].add(from[k]);
}

}  // namespace

OutboxWriter::OutboxWriter(OutboxStore& store, OutboxCounters& counters,
                           OutboxWriterOptions options)
    : store_(store),
      counters_(counters),
      options_(std::move(options)),
      queued_by_kind_(store.kinds().size()),
      tally_(store.kinds().size()),
      run_dropped_(store.kinds().size()),
      announce_(static_cast<bool>(options_.notice)),
      backoff_(retry_policy()),
      thread_([this] { run(); }) {}

OutboxWriter::~OutboxWriter() {
    if (thread_.joinable()) stop(SteadyClock::now());
}

double OutboxWriter::now_s() const {
    return std::chrono::duration<double>(SteadyClock::now().time_since_epoch()).count();
}

void OutboxWriter::add(OutgoingMessage m) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (m.kind >= queued_by_kind_.size()) m.kind = static_cast<uint8_t>(queued_by_kind_.size() - 1);
        if (finished_) {
            // Too late for this run: counted, and said at the stop.
            count_unstored(m);
            return;
        }
        queue_bytes_ += m.memory_bytes();
        ++queued_by_kind_[m.kind];
        queue_.push_back(std::move(m));
        while (queue_bytes_ > options_.memory_bytes && queue_.size() > 1) drop_front_lowest();
        counters_.backlog_messages = queue_.size();
        counters_.backlog_bytes = queue_bytes_;
    }
    wake_.notify_one();
}

void OutboxWriter::count_unstored(const OutgoingMessage& m) {
    tally_[m.kind].add(m.created_ms);
    run_dropped_[m.kind].add(m.created_ms);
    counters_.unstored += 1;
    show_tally();
}

void OutboxWriter::show_tally() {
    for (size_t k = 0; k < tally_.size() && k < kMaxOutboxKinds; ++k)
        counters_.uncounted[k] = tally_[k].count;
}

// The oldest message of the first kind waiting goes: the same order as the
// outbox's bound.
void OutboxWriter::drop_front_lowest() {
    size_t kind = 0;
    while (kind < queued_by_kind_.size() && queued_by_kind_[kind] == 0) ++kind;
    const auto it = std::find_if(queue_.begin(), queue_.end(),
                                 [kind](const OutgoingMessage& m) { return m.kind == kind; });
    if (it == queue_.end()) return;
    queue_bytes_ -= it->memory_bytes();
    --queued_by_kind_[kind];
    count_unstored(*it);
    queue_.erase(it);
}

void OutboxWriter::take_front(std::vector<OutgoingMessage>& batch) {
    uint64_t bytes = 0;
    while (!queue_.empty() && (batch.empty() || bytes + queue_.front().bytes() <=
                                                     store_.transaction_bytes())) {
        OutgoingMessage& m = queue_.front();
        bytes += m.bytes();
        queue_bytes_ -= m.memory_bytes();
        --queued_by_kind_[m.kind];
        batch.push_back(std::move(m));
        queue_.pop_front();
    }
}

// A batch that failed goes back to the front, in order, within the bound.
void OutboxWriter::put_back(std::vector<OutgoingMessage>& batch) {
    for (auto it = batch.rbegin(); it != batch.rend(); ++it) {
        queue_bytes_ += it->memory_bytes();
        ++queued_by_kind_[it->kind];
        queue_.push_front(std::move(*it));
    }
    batch.clear();
    while (queue_bytes_ > options_.memory_bytes && queue_.size() > 1) drop_front_lowest();
}

bool OutboxWriter::has_tally() const { return total_count(tally_) > 0; }

void OutboxWriter::acknowledge(const std::vector<int64_t>& ids) {
    if (ids.empty()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        acks_.insert(acks_.end(), ids.begin(), ids.end());
        acked_.insert(ids.begin(), ids.end());
    }
    wake_.notify_one();
}

bool OutboxWriter::acknowledged(int64_t id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return acked_.count(id) != 0;
}

size_t OutboxWriter::acknowledged_waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return acked_.size();
}

bool OutboxWriter::idle() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.empty() && acked_.empty() && !has_tally() && busy_ == 0;
}

void OutboxWriter::failed(const OutboxError& e, const char* doing, size_t in_hand) {
    counters_.errors += 1;
    const bool first = !counters_.failing.exchange(true);
    if (first) {
        failing_since_ = SteadyClock::now();
        unstored_at_failure_ = counters_.unstored.load();
    }
    if (e.disk_full() && !store_.relieved()) {
        // Room for the deletes and the drop counts; messages wait until the
        // reserve can be taken again.
        store_.relieve();
    }
    if (const auto held = failure_log_.allow(now_s())) {
        const std::string head = options_.log_name + (first ? ": " : ": still failing: ");
        log_error(head + doing + ": " + e.what() + "; " +
                  count_text(counters_.backlog_messages.load() + in_hand, "message") +
                  " waiting in memory" +
                  (e.disk_full() ? ", the disk is full" : "") + "; retrying" +
                  LogLimiter::held_note(*held));
    }
}

void OutboxWriter::recovered() {
    if (!counters_.failing.exchange(false)) return;
    const double outage =
        std::chrono::duration<double>(SteadyClock::now() - failing_since_).count();
    const uint64_t lost = counters_.unstored.load() - unstored_at_failure_;
    log_info(options_.log_name + ": writing again after " + seconds_text(outage) +
             (lost ? "; " + count_text(lost, "message") +
                         " could not be stored meanwhile (counted and announced)"
                   : ""));
    failure_log_.reset();
    backoff_.reset();
}

bool OutboxWriter::delete_acknowledged(std::vector<int64_t>& ids, std::vector<int64_t>& deleted) {
    // On a full disk a deletion needs room for its log: where many messages
    // at once do not fit, fewer do, and each that goes makes room for the
    // next. Halved down to one message before it counts as failed.
    size_t part = ids.size();
    size_t done = 0;
    while (done < ids.size()) {
        const size_t end = std::min(ids.size(), done + part);
        const std::vector<int64_t> some(ids.begin() + static_cast<std::ptrdiff_t>(done),
                                        ids.begin() + static_cast<std::ptrdiff_t>(end));
        try {
            store_.remove(some);
        } catch (const OutboxError& e) {
            if (e.disk_full() && part > 1) {
                part = (part + 1) / 2;
                continue;
            }
            failed(e, "cannot delete acknowledged messages");
            ids.erase(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(done));
            if (done > 0) shrink();
            return false;
        }
        deleted.insert(deleted.end(), some.begin(), some.end());
        done = end;
    }
    ids.clear();
    shrink();
    return true;
}

void OutboxWriter::shrink() {
    try {
        store_.shrink();
    } catch (const OutboxError&) {
        // The pages stay free in the file and are used again.
        counters_.errors += 1;
    }
}

bool OutboxWriter::write_batch(std::vector<OutgoingMessage>& batch, const DropTally& tally,
                               bool notice_due) {
    try {
        const OutboxStore::Stored r =
            store_.store(batch, tally, notice_due ? options_.notice : DropNotice());
        counters_.committed += r.messages;
        counters_.committed_bytes += r.bytes;
        if (r.noticed) {
            noticed_ = true;
            last_notice_ = SteadyClock::now();
        }
        recovered();
        if (r.dropped == 0) return true;
    } catch (const OutboxError& e) {
        failed(e, "cannot store messages", batch.size());
        return false;
    }
    shrink();
    return true;
}

bool OutboxWriter::write_tally(const DropTally& tally) {
    try {
        store_.record_drops(tally);
        return true;
    } catch (const OutboxError& e) {
        failed(e, "cannot count dropped messages");
        return false;
    }
}

void OutboxWriter::drop_remaining() {
    while (!queue_.empty()) {
        count_unstored(queue_.front());
        queue_.pop_front();
    }
    queue_bytes_ = 0;
    std::fill(queued_by_kind_.begin(), queued_by_kind_.end(), 0);
    counters_.backlog_messages = 0;
    counters_.backlog_bytes = 0;
}

void OutboxWriter::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto store_work = [this] { return !queue_.empty() || has_tally() || announce_; };
    const auto ready = [&] {
        const auto now = SteadyClock::now();
        if (stop_ && (now >= deadline_ || (!store_work() && acks_.empty()))) return true;
        return (!acks_.empty() && now >= delete_retry_at_) ||
               (store_work() && now >= store_retry_at_);
    };
    const auto retry_delay = [this] {
        const double outage =
            std::chrono::duration<double>(SteadyClock::now() - failing_since_).count();
        return std::chrono::duration_cast<SteadyClock::duration>(
            std::chrono::duration<double>(backoff_.next_delay(outage)));
    };
    for (;;) {
        SteadyClock::time_point wake_at = SteadyClock::time_point::max();
        if (!acks_.empty()) wake_at = std::min(wake_at, delete_retry_at_);
        if (store_work()) wake_at = std::min(wake_at, store_retry_at_);
        if (stop_) wake_at = std::min(wake_at, deadline_);
        if (wake_at == SteadyClock::time_point::max())
            wake_.wait(lock, ready);
        else
            wake_.wait_until(lock, wake_at, ready);
        auto now = SteadyClock::now();
        if (stop_ && (now >= deadline_ || (!store_work() && acks_.empty()))) break;

        // Deletes first: they free space, whatever else fails.
        if (!acks_.empty() && now >= delete_retry_at_) {
            std::vector<int64_t> ids, deleted;
            ids.swap(acks_);
            ++busy_;
            lock.unlock();
            const bool ok = delete_acknowledged(ids, deleted);
            lock.lock();
            --busy_;
            for (int64_t id : deleted) acked_.erase(id);
            if (ok) {
                delete_failures_ = 0;
            } else {
                // What is left is tried again.
                acks_.insert(acks_.begin(), ids.begin(), ids.end());
                // The first failure on a full disk gave room back: at once again.
                delete_retry_at_ = ++delete_failures_ == 1 && store_.relieved()
                                       ? SteadyClock::now()
                                       : SteadyClock::now() + retry_delay();
            }
        }
        now = SteadyClock::now();
        if (!(store_work() && now >= store_retry_at_)) continue;

        std::vector<OutgoingMessage> batch;
        take_front(batch);
        DropTally tally(tally_.size());
        tally.swap(tally_);
        show_tally();
        // Notices at most once an interval, and with the last batch of a stop.
        const bool notice_due =
            options_.notice &&
            (announce_ || (stop_ && queue_.empty()) || !noticed_ ||
             std::chrono::duration<double>(now - last_notice_).count() >= options_.notice_interval_s);
        const bool announcing = announce_;
        // Deletes come first: the room they need is not taken back for messages.
        const bool deletes_waiting = !acks_.empty();
        counters_.backlog_messages = queue_.size();
        counters_.backlog_bytes = queue_bytes_;
        ++busy_;
        lock.unlock();
        // While the reserve is given back, only counts are written: stored
        // messages would take the room the deletes and counts need.
        bool stored = false, counted = false;
        if (!store_.relieved() || (!deletes_waiting && store_.take_reserve())) {
            stored = counted = write_batch(batch, tally, notice_due);
        } else if (total_count(tally) > 0) {
            counted = write_tally(tally);
        }
        lock.lock();
        --busy_;
        if (stored) {
            if (announcing) announce_ = false;
        } else {
            put_back(batch);
            store_retry_at_ = SteadyClock::now() + retry_delay();
            // A full disk does not empty within a stop: no use waiting for it.
            if (stop_ && store_.relieved()) deadline_ = std::min(deadline_, SteadyClock::now());
        }
        if (!counted) merge(tally_, tally);
        show_tally();
        counters_.backlog_messages = queue_.size();
        counters_.backlog_bytes = queue_bytes_;
    }
    // Leaving: what could not be stored is counted, and the counts written
    // with one last try.
    drop_remaining();
    DropTally tally(tally_.size());
    tally.swap(tally_);
    show_tally();
    lock.unlock();
    bool recorded = true;
    if (total_count(tally) > 0) {
        recorded = write_tally(tally);
        if (!recorded && store_.relieved()) recorded = write_tally(tally);
    }
    lock.lock();
    if (!recorded) merge(tally_, tally);
    show_tally();
    drops_recorded_ = recorded;
    finished_ = true;
    lock.unlock();
    finished_cv_.notify_all();
}

bool OutboxWriter::stop(SteadyClock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!thread_.joinable()) return finished_;
    if (!stop_) {
        stop_ = true;
        deadline_ = deadline;
        // One more try at once, with the last notice of drops.
        announce_ = announce_ || (options_.notice && queue_.empty());
        store_retry_at_ = delete_retry_at_ = SteadyClock::now();
    }
    wake_.notify_all();
    // A statement still waiting on the disk at the deadline is cut short.
    return join_until(thread_, lock, finished_cv_, finished_, deadline + kStopGrace,
                      [this] { store_.give_up(); }, kGiveUpGrace);
}

DropTally OutboxWriter::dropped_this_run() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return run_dropped_;
}

bool OutboxWriter::drops_recorded() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return drops_recorded_;
}

}  // namespace smdgw
