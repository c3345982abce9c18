#pragma once
// Server-Sent Events: the line thread publishes events, each open stream
// takes them from its own bounded queue. Publishing never waits for a
// client; a stream whose queue overflows is dropped.

#include <condition_variable>
#include <cstdint>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace smdgw::http {

class EventHub {
   public:
    struct Stream;

    // max_streams: open streams allowed at once, max_per_client of them from
    // one client address; max_queued: events a stream may fall behind
    // before it is dropped.
    EventHub(size_t max_streams, size_t max_queued, size_t max_per_client = SIZE_MAX);

    // False when nobody listens (publishers skip the rendering then).
    bool has_streams() const;
    // Queues "id: N / event: kind / data: json" for every open stream.
    void publish(const std::string& kind, const std::string& json);

    enum class Refused { TooMany, TooManyFromClient };
    // A new stream for client (its address), or null when max_streams are
    // open, or max_per_client of client's; *why says which.
    std::shared_ptr<Stream> open(const std::string& client = {}, Refused* why = nullptr);
    void close(const std::shared_ptr<Stream>& s);

    enum class Wait { Events, Idle, Dropped, Closed };
    // Waits up to timeout_ms for events and moves them into out (texts ready
    // to send). Idle: nothing came in time.
    Wait next(const std::shared_ptr<Stream>& s, int timeout_ms, std::vector<std::string>& out);

    // Calls wake (from the publishing thread, outside the hub's lock) when
    // events arrive for s, when s is dropped and at shutdown; once until the
    // next take(). For a transport that waits without a thread per stream.
    void watch(const std::shared_ptr<Stream>& s, std::function<void()> wake);
    // next() without waiting.
    Wait take(const std::shared_ptr<Stream>& s, std::vector<std::string>& out);

    // Ends every stream (at shutdown).
    void shut();

    uint64_t dropped() const;
    size_t open_streams() const;

   private:
    // Hands out what the stream holds, or why it holds nothing; mutex_ held.
    Wait drain(Stream& s, std::vector<std::string>& out);

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    size_t max_streams_;
    size_t max_queued_;
    size_t max_per_client_;
    std::vector<std::shared_ptr<Stream>> streams_;
    uint64_t next_id_ = 0;
    uint64_t dropped_ = 0;
    bool shut_ = false;
};

struct EventHub::Stream {
    std::string client;
    std::deque<std::string> queue;
    bool dropped = false;
    std::function<void()> wake;
    bool wake_due = false;  // wake was called and take() has not run since
};

// One SSE message: "id: 7\nevent: alarm\ndata: {...}\n\n". The data is one
// line: JSON text never holds a raw line feed.
std::string sse_message(uint64_t id, const std::string& kind, const std::string& json);

}  // namespace smdgw::http
