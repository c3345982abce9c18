#include "tools/smdgw/http/event_hub.h"

#include <algorithm>
#include <chrono>

namespace smdgw::http {

std::string sse_message(uint64_t id, const std::string& kind, const std::string& json) {
    std::string m = "id: " + std::to_string(id) + "\nevent: " + kind + "\ndata: ";
    m.reserve(m.size() + json.size() + 2);
    for (char c : json)
        if (c != '\n' && c != '\r') m.push_back(c);
    m += "\n\n";
    return m;
}

EventHub::EventHub(size_t max_streams, size_t max_queued, size_t max_per_client)
    : max_streams_(max_streams), max_queued_(max_queued), max_per_client_(max_per_client) {}

bool EventHub::has_streams() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !streams_.empty();
}

namespace {

// The wake calls due, taken under the hub's lock and made after it.
std::vector<std::function<void()>> due_wakes(
    const std::vector<std::shared_ptr<EventHub::Stream>>& streams) {
    std::vector<std::function<void()>> out;
    for (const auto& s : streams) {
        if (!s->wake || s->wake_due) continue;
        s->wake_due = true;
        out.push_back(s->wake);
    }
    return out;
}

}  // namespace

void EventHub::publish(const std::string& kind, const std::string& json) {
    std::vector<std::function<void()>> wakes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (streams_.empty() || shut_) return;
        const std::string m = sse_message(++next_id_, kind, json);
        for (auto& s : streams_) {
            if (s->dropped) continue;
            if (s->queue.size() >= max_queued_) {
                s->dropped = true;
                s->queue.clear();
                ++dropped_;
                continue;
            }
            s->queue.push_back(m);
        }
        cv_.notify_all();
        wakes = due_wakes(streams_);
    }
    for (const auto& w : wakes) w();
}

void EventHub::watch(const std::shared_ptr<Stream>& s, std::function<void()> wake) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        s->wake = wake;
        s->wake_due = true;
    }
    // Whatever came before the watch is taken at once.
    wake();
}

EventHub::Wait EventHub::drain(Stream& s, std::vector<std::string>& out) {
    if (shut_) return Wait::Closed;
    if (s.dropped) return Wait::Dropped;
    if (s.queue.empty()) return Wait::Idle;
    out.assign(std::make_move_iterator(s.queue.begin()), std::make_move_iterator(s.queue.end()));
    s.queue.clear();
    return Wait::Events;
}

EventHub::Wait EventHub::take(const std::shared_ptr<Stream>& s, std::vector<std::string>& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    s->wake_due = false;
    return drain(*s, out);
}

std::shared_ptr<EventHub::Stream> EventHub::open(const std::string& client, Refused* why) {
    std::lock_guard<std::mutex> lock(mutex_);
    Refused refused = Refused::TooMany;
    const size_t mine = static_cast<size_t>(std::count_if(
        streams_.begin(), streams_.end(), [&](const auto& s) { return s->client == client; }));
    if (!shut_ && streams_.size() < max_streams_) {
        if (mine < max_per_client_) {
            streams_.push_back(std::make_shared<Stream>());
            streams_.back()->client = client;
            return streams_.back();
        }
        refused = Refused::TooManyFromClient;
    }
    if (why) *why = refused;
    return nullptr;
}

void EventHub::close(const std::shared_ptr<Stream>& s) {
    std::lock_guard<std::mutex> lock(mutex_);
    s->wake = nullptr;
    streams_.erase(std::remove(streams_.begin(), streams_.end(), s), streams_.end());
}

EventHub::Wait EventHub::next(const std::shared_ptr<Stream>& s, int timeout_ms,
                              std::vector<std::string>& out) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                 [&] { return shut_ || s->dropped || !s->queue.empty(); });
    return drain(*s, out);
}

void EventHub::shut() {
    std::vector<std::function<void()>> wakes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shut_ = true;
        cv_.notify_all();
        wakes = due_wakes(streams_);
    }
    for (const auto& w : wakes) w();
}

uint64_t EventHub::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

size_t EventHub::open_streams() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return streams_.size();
}

}  // namespace smdgw::http
