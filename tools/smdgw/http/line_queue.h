#pragma once
// Work the HTTP threads hand to the thread that owns the lines: control
// requests, which must never run during a device's reads and writes, the
// acknowledgements of alarms, which change the host's alarm states, and
// lines for the gateway's output, which only that thread writes. The line
// thread drains the queue between frames and when the line is quiet.

#include <json/value.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace smdgw::http {

class LineQueue {
   public:
    struct Job {
        std::string device;
        int code = 0;
        std::vector<unsigned char> request;
        // Not null: an alarm action ({"action": "ack", "id": ..., "by": ...})
        // instead of a control request.
        Json::Value action;
        // Guarded by the queue's mutex.
        enum class Stage { Queued, Running, Done, Withdrawn } stage = Stage::Queued;
        Json::Value result;
    };
    using Runner = std::function<Json::Value(const std::string& device, int code,
                                             const std::vector<unsigned char>& request)>;
    using Actor = std::function<Json::Value(const std::string& device, const Json::Value& action)>;
    using Writer = std::function<void(const std::string& device, Json::Value line)>;
    // True while a device's line is in the middle of an exchange (a device
    // polled as master during its round): its jobs wait for the next drain.
    using Busy = std::function<bool(const std::string& device)>;

    explicit LineQueue(size_t max_jobs) : max_jobs_(max_jobs) {}

    // HTTP thread: queues a control request; null when max_jobs wait already.
    std::shared_ptr<Job> submit(const std::string& device, int code,
                                std::vector<unsigned char> request);
    // HTTP thread: queues an alarm action; null when max_jobs wait already.
    std::shared_ptr<Job> submit_action(const std::string& device, Json::Value action);
    // HTTP thread: waits for the result. A job the line thread has not taken
    // within the timeout is withdrawn and never runs (false); one it is
    // running is waited for to the end.
    bool wait(const std::shared_ptr<Job>& job, std::chrono::milliseconds timeout,
              Json::Value& result);
    // Any thread: a line for the gateway's output.
    void note(const std::string& device, Json::Value line);

    // Line thread: runs the queued jobs, except those of busy devices, and
    // writes the queued lines.
    void drain(const Runner& run, const Writer& write, const Busy& busy = {},
               const Actor& act = {});

   private:
    std::mutex mutex_;
    std::condition_variable done_;
    std::deque<std::shared_ptr<Job>> jobs_;
    std::deque<std::pair<std::string, Json::Value>> lines_;
    std::atomic<bool> pending_{false};
    size_t max_jobs_;
};

}  // namespace smdgw::http
