#include "tools/smdgw/outbox/delivery_loop.h"

#include <algorithm>
#include <limits>

#include "tools/smdgw/core/bounded_join.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/steady_time.h"

namespace smdgw {

namespace {

// Messages read from the outbox at a time.
constexpr size_t kReadBatch = 64;
// While the writer has a message in hand, the loop looks for it this often.
constexpr double kPollSeconds = 0.05;
// After the drain, a transfer told to stop ends within this (libcurl looks
// at its abort about once a second while a receiver says nothing).
constexpr auto kAbortWait = std::chrono::milliseconds(1500);

}  // namespace

DeliveryLoop::DeliveryLoop(OutboxStore& store, OutboxWriter& writer,
                           OutboxCounters& outbox_counters, DeliveryBackend& backend,
                           DeliveryLoopOptions options)
    : store_(store),
      writer_(writer),
      outbox_counters_(outbox_counters),
      backend_(backend),
      options_(std::move(options)),
      window_(std::max<size_t>(1, backend.window())),
      targets_(options_.targets.size()),
      waiting_(options_.targets.size(), 0),
      thread_([this] { run(); }) {}

DeliveryLoop::~DeliveryLoop() { stop(SteadyClock::now()); }

void DeliveryLoop::wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
    }
    wake_.notify_all();
}

void DeliveryLoop::completed(size_t target, std::vector<DeliveryResult> results) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (target >= targets_.size()) return;
    for (DeliveryResult& r : results) {
        Answer a{target, r.id, std::move(r.answer)};
        // After the thread ended, what the receiver took still leaves.
        if (finished_)
            settle(a);
        else
            answers_.push_back(std::move(a));
    }
    if (finished_) flush_acks();
    wake_.notify_all();
}

void DeliveryLoop::ready(size_t target) {
    std::lock_guard<std::mutex> lock(mutex_);
    ready_.push_back(target);
    wake_.notify_all();
}

bool DeliveryLoop::stop(SteadyClock::time_point drain_until) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopped_) return joined_;
    stopped_ = true;
    stop_ = true;
    woken_ = true;
    wake_.notify_all();
    joined_ = join_until(
        thread_, lock, finished_cv_, finished_, drain_until,
        [this] {
            {
                std::lock_guard<std::mutex> l(mutex_);
                abort_ = true;
            }
            wake_.notify_all();
        },
        kAbortWait);
    return joined_;
}

void DeliveryLoop::run() {
    for (;;) {
        double next_retry_s = 0.0;
        bool delivered = settle_answers();
        delivered = pass(next_retry_s) || delivered;
        report_drops();
        bool in_flight = false;
        for (const TargetState& ts : targets_) in_flight = in_flight || !ts.in_flight.empty();
        // What is still in flight at the abort stays in the outbox.
        if (stop_.load() && (abort_.load() || (!delivered && !in_flight && writer_.idle())))
            break;
        if (delivered) continue;
        // A pass reads the whole outbox: while nothing new waits to be
        // stored, the next one is at the earliest retry, or a second on.
        double wait_s = 1.0;
        if (!writer_.idle())
            wait_s = kPollSeconds;
        else if (next_retry_s > 0.0)
            wait_s = std::clamp(next_retry_s - steady_seconds(), kPollSeconds, 1.0);
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_for(lock, steady_duration(wait_s), [this] {
            return abort_.load() || woken_ || !answers_.empty() || !ready_.empty();
        });
        woken_ = false;
    }
    std::vector<Answer> late;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
        late.swap(answers_);
        for (const Answer& a : late) settle(a);
        flush_acks();
    }
    finished_cv_.notify_all();
}

bool DeliveryLoop::settle_answers() {
    std::vector<Answer> came;
    std::vector<size_t> back;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        came.swap(answers_);
        back.swap(ready_);
    }
    bool delivered = false;
    for (const Answer& a : came) delivered = settle(a) || delivered;
    flush_acks();
    // Back after the failures that came with it: no more waiting.
    for (size_t t : back)
        if (t < targets_.size()) targets_[t].retry_at_s = 0.0;
    return delivered;
}

void DeliveryLoop::flush_acks() {
    writer_.acknowledge(acks_);
    acks_.clear();
}

bool DeliveryLoop::takes(size_t t, double now, size_t up_to) const {
    const TargetState& ts = targets_[t];
    if (abort_.load() || ts.in_flight.size() >= up_to) return false;
    // After a failure the rest of its window runs out before it is sent again.
    return !ts.failing || (now >= ts.retry_at_s && ts.in_flight.empty());
}

bool DeliveryLoop::pass(double& next_retry_s) {
    const size_t n_targets = options_.targets.size();
    const std::string& name = options_.log_name;
    std::vector<bool> blocked(n_targets, false);
    bool delivered = false;
    // Everything of a target up to its `resume` is in flight or answered:
    // the pass starts after the earliest one it needs.
    int64_t after = std::numeric_limits<int64_t>::max();
    const double start_s = steady_seconds();
    for (size_t t = 0; t < n_targets; ++t) {
        // A window is filled again once a quarter of it was answered: the
        // outbox is read for many at a time, not for each answer.
        blocked[t] = !takes(t, start_s, window_ - window_ / 4);
        if (options_.count_waiting || !blocked[t]) after = std::min(after, targets_[t].resume);
    }
    if (after == std::numeric_limits<int64_t>::max()) after = 0;
    const bool read = options_.count_waiting ||
                      std::find(blocked.begin(), blocked.end(), false) != blocked.end();
    for (size_t t = 0; t < n_targets; ++t) {
        const std::map<int64_t, unsigned>& f = targets_[t].in_flight;
        waiting_[t] = static_cast<uint64_t>(
            std::distance(f.begin(), f.upper_bound(after)));
    }
    read_to_ = after;
    while (read) {
        // Behind a window, no more than the windows take.
        size_t limit = kReadBatch;
        if (!options_.count_waiting) {
            limit = 0;
            for (size_t t = 0; t < n_targets; ++t)
                // A failing target is asked with one message.
                if (!blocked[t])
                    limit += targets_[t].failing ? 1 : window_ - targets_[t].in_flight.size();
            limit = std::clamp<size_t>(limit, 1, kReadBatch);
        }
        std::vector<StoredMessage> rows;
        try {
            rows = store_.read_after(after, limit, std::chrono::milliseconds(200));
        } catch (const OutboxError& e) {
            // Read again at the next pass; the writer says what the disk does.
            if (auto held = read_log_.allow(steady_seconds()))
                log_warning(name + ": outbox: " + e.what() + LogLimiter::held_note(*held));
            break;
        }
        if (rows.empty()) break;
        bool takers = true;
        for (const StoredMessage& row : rows) {
            after = row.id;
            read_to_ = row.id;
            if (writer_.acknowledged(row.id)) continue;
            const size_t t =
                options_.target_of
                    ? options_.target_of(row)
                    : static_cast<size_t>(std::find(options_.targets.begin(),
                                                    options_.targets.end(), row.target) -
                                          options_.targets.begin());
            if (t >= n_targets) {
                // Stored for a target the configuration no longer has.
                log_warning(name + ": a message for target \"" + row.target +
                            "\", which the configuration no longer has, is dropped");
                writer_.acknowledge({row.id});
                continue;
            }
            ++waiting_[t];
            TargetState& ts = targets_[t];
            // In flight already (counted above when before the start).
            if (row.id <= ts.resume) continue;
            // Per target, oldest first: one that fails holds back the later ones.
            if (blocked[t]) continue;
            ts.in_flight[row.id] = ts.round;
            ts.resume = row.id;
            backend_.submit(t, row, abort_, *this);
            // A backend without a window has answered already.
            delivered = settle_answers() || delivered;
            blocked[t] = !takes(t, steady_seconds(), window_);
            takers = std::find(blocked.begin(), blocked.end(), false) != blocked.end();
            if (!options_.count_waiting && !takers) break;
        }
        if (!options_.count_waiting && !takers) break;
    }
    read_to_ = -1;
    for (size_t t = 0; t < n_targets; ++t) {
        options_.counters(t).waiting = waiting_[t];
        if (targets_[t].failing && (next_retry_s == 0.0 || targets_[t].retry_at_s < next_retry_s))
            next_retry_s = targets_[t].retry_at_s;
    }
    return delivered;
}

bool DeliveryLoop::settle(const Answer& a) {
    TargetState& ts = targets_[a.target];
    const auto it = ts.in_flight.find(a.id);
    if (it == ts.in_flight.end()) return false;
    const unsigned round = it->second;
    ts.in_flight.erase(it);
    const DeliveryAnswer& r = a.answer;
    const std::string& name = options_.log_name;
    const std::string& target = options_.targets[a.target];
    DeliveryCounters& c = options_.counters(a.target);
    const double now = steady_seconds();
    if (r.outcome == DeliveryOutcome::RetryLater) {
        // It and what follows it go again, in order.
        ts.resume = std::min(ts.resume, a.id - 1);
        // Cut short by the stop, not a failure of the target; or the tail of
        // a failure already counted.
        if (abort_.load() || round != ts.round) return false;
        failed(a.target, r, now);
        return false;
    }
    acks_.push_back(a.id);
    if (read_to_ >= a.id) --waiting_[a.target];
    if (r.outcome == DeliveryOutcome::RefusedForGood) {
        // Sending it again would be refused again: it goes, and the next
        // one is tried at once.
        c.refused++;
        if (auto held = ts.refused_log.allow(now))
            log_warning(name + ": target \"" + target + "\" refused a " + options_.noun +
                        " for good (" + r.text + "); it is dropped" +
                        LogLimiter::held_note(*held));
        return false;
    }
    c.sent++;
    // A delivery handed before the last failure does not end it.
    if (round != ts.round) return true;
    if (ts.failing && !options_.backend_says_outages)
        log_info(name + ": target \"" + target + "\" delivers again (" + r.text + ") after " +
                 std::to_string(static_cast<long>(now - ts.failing_since_s)) + " s");
    ts.failing = false;
    ts.backoff.reset();
    ts.log.reset();
    c.failing = false;
    return true;
}

void DeliveryLoop::failed(size_t t, const DeliveryAnswer& r, double now) {
    TargetState& ts = targets_[t];
    DeliveryCounters& c = options_.counters(t);
    c.failed++;
    c.failing = true;
    if (!ts.failing) ts.failing_since_s = now;
    ts.failing = true;
    ++ts.round;
    ts.retry_at_s = now + ts.backoff.next_delay(now - ts.failing_since_s);
    if (options_.backend_says_outages) return;
    if (auto held = ts.log.allow(now))
        log_warning(options_.log_name + ": target \"" + options_.targets[t] + "\" failed: " +
                    r.text + "; tried again in " +
                    std::to_string(static_cast<int>(ts.retry_at_s - now + 0.5)) + " s" +
                    LogLimiter::held_note(*held));
}

void DeliveryLoop::report_drops() {
    uint64_t total = 0;
    for (size_t k = 0; k < store_.kinds().size(); ++k)
        total += dropped_so_far(store_, outbox_counters_, k);
    if (options_.lost_before) total += options_.lost_before();
    if (total <= drops_said_) return;
    if (auto held = drop_log_.allow(steady_seconds())) {
        log_warning(options_.log_name + ": " + count_text(total - drops_said_, options_.noun) +
                    " dropped (the outbox at its bound, or not stored); " +
                    count_text(total, options_.noun) + " dropped in all" +
                    LogLimiter::held_note(*held));
        drops_said_ = total;
    }
}

}  // namespace smdgw
