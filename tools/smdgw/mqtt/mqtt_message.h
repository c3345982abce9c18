#pragma once
// A message on its way to the broker, before and after the outbox, and the
// fields every payload carries besides the event itself.

#include <json/value.h>

#include <cstdint>
#include <string>

namespace smdgw {

// Drop order when the outbox is full: lower classes go first, alarm events
// are kept longest.
enum class DropClass : int { Record = 0, State = 1, AlarmList = 2, Alarm = 3, Dropped = 4 };

// Queued by the event thread; the outbox writer gives it its pub_seq.
struct PendingMessage {
    std::string topic;
    std::string seq_device;  // pub_seq runs per device and topic kind
    std::string seq_kind;
    DropClass drop_class = DropClass::Record;
    bool retain = false;
    Json::Value payload;  // the event; "pub_seq" is added when queued
    int64_t created_ms = 0;
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
