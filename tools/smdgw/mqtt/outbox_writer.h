#pragma once
// Puts messages into the outbox on a thread of its own: the thread that
// handles frames only queues them in memory, so neither the disk nor the
// uplink slows the line. Whatever has queued up is committed in one
// transaction.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/smdgw/mqtt/mqtt_counters.h"
#include "tools/smdgw/mqtt/mqtt_message.h"
#include "tools/smdgw/mqtt/mqtt_outbox.h"

namespace smdgw {

class OutboxWriter {
   public:
    // Messages waiting in memory beyond this (the disk failing for long)
    // are dropped oldest first and counted.
    static constexpr size_t kMemoryLimit = 65536;

    OutboxWriter(MqttOutbox& outbox, MqttCounters& counters);
    // Commits everything still queued, then stops.
    ~OutboxWriter();
    OutboxWriter(const OutboxWriter&) = delete;
    OutboxWriter& operator=(const OutboxWriter&) = delete;

    void add(PendingMessage m);
    // Returns when everything added before is committed (or failed).
    void flush();

   private:
    void run();
    bool commit(std::vector<PendingMessage>& batch);

    MqttOutbox& outbox_;
    MqttCounters& counters_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<PendingMessage> queue_;
    bool stop_ = false;
    bool busy_ = false;
    std::thread thread_;
};

}  // namespace smdgw
