#include "tools/smdgw-fleet/fleet_collector.h"

#include <chrono>

#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/utf8_text.h"

namespace smdgw {

namespace {

double steady_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

FleetCollector::FleetCollector(const std::string& prefix, bool sharded, double silent_after_s,
                               LineBuffer& buffer)
    : buffer_(buffer), lines_(prefix, sharded, static_cast<int64_t>(silent_after_s * 1000.0)) {}

void FleetCollector::take(const std::string& topic, const std::string& payload) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = wall_ms();
    std::string why;
    out_.clear();
    const Taken t = lines_.take(topic, payload, now, out_, why);
    switch (t) {
        case Taken::Written: {
            ++f_.written;
            const double lag = static_cast<double>(lines_.last_lag_ms()) / 1000.0;
            f_.lag_s = lag;
            f_.lag_sum_s += lag;
            size_t b = 0;
            while (b < kLagBuckets.size() && lag > kLagBuckets[b]) ++b;
            ++f_.lag_counts[b];
            break;
        }
        case Taken::Repeat:
            ++f_.duplicates;
            break;
        case Taken::Unreadable:
            ++f_.unreadable;
            if (auto held = unreadable_log_.allow(steady_s()))
                log_warning("fleet: cannot read a message on " + quoted(topic) + ": " + why +
                            LogLimiter::held_note(*held));
            break;
        case Taken::NotOurs:
            ++f_.not_ours;
            break;
    }
    add_lines();
}

void FleetCollector::add_lines() {
    if (const uint64_t dropped = buffer_.add(std::move(out_))) {
        if (auto held = drop_log_.allow(steady_s()))
            log_warning("fleet: the buffer is full (the database is away): dropped the oldest " +
                        count_text(dropped, "line") + LogLimiter::held_note(*held));
    }
    out_ = std::string();
}

void FleetCollector::tick() {
    std::lock_guard<std::mutex> lock(mutex_);
    out_.clear();
    lines_.tick(wall_ms(), out_);
    add_lines();
}

std::string FleetCollector::save_state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.ledger().save();
}

size_t FleetCollector::load_state(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.ledger().load(text);
}

CollectorFigures FleetCollector::figures() const {
    std::lock_guard<std::mutex> lock(mutex_);
    CollectorFigures f = f_;
    const MessageLedger& l = lines_.ledger();
    f.gaps = l.gaps();
    f.gateways = l.gateways().size();
    f.gateways_up = lines_.gateways_up(wall_ms());
    for (const auto& kv : l.gateways()) {
        f.restarts += kv.second.restarts;
        f.dropped_notices += kv.second.dropped_notices;
        f.dropped_messages += kv.second.dropped_messages;
    }
    f.buffer_dropped_lines = buffer_.dropped_lines();
    return f;
}

}  // namespace smdgw
