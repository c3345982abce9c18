#include "tools/smdgw/mqtt/outbox_writer.h"

#include <chrono>

#include "tools/smdgw/core/log.h"

namespace smdgw {

namespace {

// After a failed commit the batch is tried again this much later.
constexpr auto kRetryDelay = std::chrono::seconds(1);

}  // namespace

OutboxWriter::OutboxWriter(MqttOutbox& outbox, MqttCounters& counters)
    : outbox_(outbox),
      counters_(counters),
      thread_([this] { run(); }) {}

OutboxWriter::~OutboxWriter() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void OutboxWriter::add(PendingMessage m) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.size() >= kMemoryLimit) {
            queue_.pop_front();
            counters_.dropped += 1;
        }
        queue_.push_back(std::move(m));
    }
    wake_.notify_one();
}

void OutboxWriter::flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return (queue_.empty() && !busy_) || stop_; });
}

bool OutboxWriter::commit(std::vector<PendingMessage>& batch) {
    try {
        const uint64_t dropped = outbox_.append(batch);
        counters_.queued += batch.size();
        counters_.dropped += dropped;
        return true;
    } catch (const OutboxError& e) {
        counters_.outbox_errors += 1;
        // One line per failure streak, not per batch.
        if (counters_.outbox_errors == 1 || !counters_.outbox_failing)
            log_error(std::string("mqtt: outbox: ") + e.what() + "; retrying");
        counters_.outbox_failing = true;
        return false;
    }
}

void OutboxWriter::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty() && stop_) break;
        std::vector<PendingMessage> batch(std::make_move_iterator(queue_.begin()),
                                          std::make_move_iterator(queue_.end()));
        queue_.clear();
        busy_ = true;
        lock.unlock();
        const bool ok = commit(batch);
        if (ok) counters_.outbox_failing = false;
        lock.lock();
        busy_ = false;
        if (!ok) {
            // Back to the front, in order, and again after a pause (at once when stopping,
            // which then gives up on them).
            for (auto it = batch.rbegin(); it != batch.rend(); ++it)
                queue_.push_front(std::move(*it));
            while (queue_.size() > kMemoryLimit) {
                queue_.pop_front();
                counters_.dropped += 1;
            }
            if (stop_) {
                counters_.dropped += queue_.size();
                queue_.clear();
            } else {
                wake_.wait_for(lock, kRetryDelay, [this] { return stop_; });
            }
        }
        done_.notify_all();
    }
    done_.notify_all();
}

}  // namespace smdgw
