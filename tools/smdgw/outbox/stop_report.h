#pragma once
// What a delivering service says about its outbox when it stops: that the
// disk did not answer in time and what waited in memory is lost, or what is
// left in the outbox for the next start and what could not be stored in
// this run.
//   mqtt: 4234 messages (38215660 bytes) remain in the outbox /var/lib/smdgw/site.db; they go at the next start
//   mqtt: 471 messages could not be stored in this run (471 records); the count is in the outbox ...

#include <chrono>
#include <functional>
#include <string>

#include "tools/smdgw/outbox/drop_count.h"
#include "tools/smdgw/outbox/outbox_counters.h"
#include "tools/smdgw/outbox/outbox_store.h"
#include "tools/smdgw/outbox/outbox_writer.h"

namespace smdgw {

struct StopReport {
    std::string log_name;  // "mqtt"
    std::string noun;      // "message"
    int bound_s = 0;       // the stop's whole bound, said when the disk did not answer
    // What follows "could not be stored in this run": their kinds, where the
    // count went. May be empty.
    std::function<std::string(const DropTally&)> lost_detail;
};

// `written`: whether the writer's stop ended in time.
void report_stop(const StopReport& r, bool written, const OutboxStore& store,
                 const OutboxWriter& writer, const OutboxCounters& counters);

// After the sender's drain: stops the writer within what is left of the
// stop's bound (r.bound_s from `start`, and at least a second for the last
// writes), then reports. False when the disk did not answer in time.
bool stop_writer_and_report(const StopReport& r, OutboxWriter& writer, const OutboxStore& store,
                            const OutboxCounters& counters,
                            std::chrono::steady_clock::time_point start);

}  // namespace smdgw
