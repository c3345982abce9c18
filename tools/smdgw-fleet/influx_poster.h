#pragma once
// Posts the buffered lines to VictoriaMetrics' /write (or an InfluxDB 1.x
// /write: the same lines) in batches, on a thread of its own, with libcurl.
// A database that does not answer, or answers 5xx or 429, is retried with
// growing waits (0.5 s to 30 s); the batch waits in the buffer meanwhile. A
// batch refused with another 4xx would be refused again: it is counted and
// said, and goes.

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "tools/smdgw-fleet/line_buffer.h"

namespace smdgw {

struct PosterCounters {
    std::atomic<uint64_t> batches{0};
    std::atomic<uint64_t> lines{0};
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> errors{0};         // attempts that failed
    std::atomic<uint64_t> refused_lines{0};  // in batches refused for good
    std::atomic<bool> failing{false};
};

class InfluxPoster {
   public:
    InfluxPoster(std::string url, LineBuffer& buffer, size_t batch_bytes);
    ~InfluxPoster();
    void start();
    // Writes what waits (for at most `drain_ms`), then ends the thread.
    void stop(int drain_ms);
    const PosterCounters& counters() const { return counters_; }

   private:
    void run();
    // 0 written; otherwise the HTTP status, or -1 for no answer.
    long post(const std::string& body, std::string& error);

    const std::string url_;
    LineBuffer& buffer_;
    const size_t batch_bytes_;
    PosterCounters counters_;
    std::atomic<bool> stopping_{false};
    std::atomic<int64_t> drain_until_ms_{0};
    std::thread thread_;
};

}  // namespace smdgw
