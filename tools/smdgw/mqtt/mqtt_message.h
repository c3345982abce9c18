#pragma once
// A message on its way to the broker, before and after the outbox, and the
// fields every payload carries besides the event itself.

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace smdgw {

// Drop order when the outbox is full: lower classes go first, alarm events
// are kept longest.
enum class DropClass : int { Record = 0, State = 1, AlarmList = 2, Alarm = 3, Dropped = 4 };

// Made on the frame thread, payload and pub_seq included; the outbox
// writer stores it.
struct PendingMessage {
    std::string topic;
    std::string seq_device;  // pub_seq runs per device and topic kind
    std::string seq_kind;
    int64_t pub_seq = 0;
    DropClass drop_class = DropClass::Record;
    bool retain = false;
    std::string payload;  // JSON text
    int64_t created_ms = 0;
};

// The pub_seq counters of every device and topic kind, loaded from the
// outbox at start; shared by the frame thread and the outbox writer.
class PubSeq {
   public:
    void set(const std::string& device, const std::string& kind, int64_t last);
    // The next number of this device and kind (1 for the first).
    int64_t next(const std::string& device, const std::string& kind);

   private:
    std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, int64_t> last_;
};

// A row of the outbox, ready for the library.
struct OutboxMessage {
    int64_t id = 0;
    std::string topic;
    std::string payload;
    bool retain = false;
};

// "2026-12-08T23:45:01.123+01:00": local time with its offset.
std::string iso8601_time(int64_t unix_ms);

// 32 hex digits from the system's random source, new at every start.
std::string new_boot_id();

}  // namespace smdgw
