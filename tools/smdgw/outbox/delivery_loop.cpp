#include "tools/smdgw/outbox/delivery_loop.h"

#include <algorithm>

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
      targets_(options_.targets.size()),
      thread_([this] { run(); }) {}

DeliveryLoop::~DeliveryLoop() { stop(SteadyClock::now()); }

void DeliveryLoop::wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
    }
    wake_.notify_all();
}

bool DeliveryLoop::stop(SteadyClock::time_point drain_until) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopped_) return joined_;
    stopped_ = true;
    stop_ = true;
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
        const bool delivered = pass(next_retry_s);
        report_drops();
        if (stop_.load() && !delivered && (writer_.idle() || abort_.load())) break;
        if (delivered) continue;
        // A pass reads the whole outbox: while nothing new waits to be
        // stored, the next one is at the earliest retry, or a second on.
        double wait_s = 1.0;
        if (!writer_.idle())
            wait_s = kPollSeconds;
        else if (next_retry_s > 0.0)
            wait_s = std::clamp(next_retry_s - steady_seconds(), kPollSeconds, 1.0);
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_for(lock, steady_duration(wait_s),
                       [this] { return stop_.load() || woken_; });
        woken_ = false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    finished_cv_.notify_all();
}

bool DeliveryLoop::pass(double& next_retry_s) {
    const size_t n_targets = options_.targets.size();
    std::vector<bool> blocked(n_targets, false);
    std::vector<uint64_t> waiting(n_targets, 0);
    bool delivered = false;
    int64_t after = 0;
    const std::string& name = options_.log_name;
    for (;;) {
        const std::vector<StoredMessage> rows =
            store_.read_after(after, kReadBatch, std::chrono::milliseconds(200));
        if (rows.empty()) break;
        for (const StoredMessage& row : rows) {
            after = row.id;
            if (writer_.acknowledged(row.id)) continue;
            const size_t t = static_cast<size_t>(
                std::find(options_.targets.begin(), options_.targets.end(), row.target) -
                options_.targets.begin());
            if (t >= n_targets) {
                // Stored for a target the configuration no longer has.
                log_warning(name + ": a message for target \"" + row.target +
                            "\", which the configuration no longer has, is dropped");
                writer_.acknowledge({row.id});
                continue;
            }
            ++waiting[t];
            TargetState& ts = targets_[t];
            const double now = steady_seconds();
            // Per target, oldest first: one that fails holds back the later ones.
            if (blocked[t] || abort_.load() || (ts.failing && now < ts.retry_at_s)) {
                blocked[t] = true;
                continue;
            }
            const std::string& target = options_.targets[t];
            const DeliveryAnswer r = backend_.deliver(t, row, abort_);
            DeliveryCounters& c = options_.counters(t);
            if (r.outcome == DeliveryOutcome::RefusedForGood) {
                // Sending it again would be refused again: it goes, and the
                // next one is tried at once.
                writer_.acknowledge({row.id});
                --waiting[t];
                c.refused++;
                if (auto held = ts.refused_log.allow(now))
                    log_warning(name + ": target \"" + target + "\" refused a " + options_.noun +
                                " for good (" + r.text + "); it is dropped" +
                                LogLimiter::held_note(*held));
                continue;
            }
            if (r.outcome == DeliveryOutcome::Delivered) {
                writer_.acknowledge({row.id});
                --waiting[t];
                c.sent++;
                delivered = true;
                if (ts.failing)
                    log_info(name + ": target \"" + target + "\" delivers again (" + r.text +
                             ") after " +
                             std::to_string(static_cast<long>(now - ts.failing_since_s)) + " s");
                ts.failing = false;
                ts.backoff.reset();
                ts.log.reset();
                c.failing = false;
                continue;
            }
            if (abort_.load()) {
                // Cut short by the stop, not a failure of the target.
                blocked[t] = true;
                continue;
            }
            c.failed++;
            c.failing = true;
            if (!ts.failing) ts.failing_since_s = now;
            ts.failing = true;
            ts.retry_at_s = now + ts.backoff.next_delay(now - ts.failing_since_s);
            blocked[t] = true;
            if (auto held = ts.log.allow(now))
                log_warning(name + ": target \"" + target + "\" failed: " + r.text +
                            "; tried again in " +
                            std::to_string(static_cast<int>(ts.retry_at_s - now + 0.5)) + " s" +
                            LogLimiter::held_note(*held));
        }
    }
    for (size_t t = 0; t < n_targets; ++t) {
        options_.counters(t).waiting = waiting[t];
        if (targets_[t].failing && (next_retry_s == 0.0 || targets_[t].retry_at_s < next_retry_s))
            next_retry_s = targets_[t].retry_at_s;
    }
    return delivered;
}

void DeliveryLoop::report_drops() {
    uint64_t total = 0;
    for (size_t k = 0; k < options_.targets.size(); ++k)
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
