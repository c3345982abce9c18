#include "tools/smdgw/outbox/stop_report.h"

#include <algorithm>

#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/steady_time.h"

namespace smdgw {

void report_stop(const StopReport& r, bool written, const OutboxStore& store,
                 const OutboxWriter& writer, const OutboxCounters& counters) {
    if (!written) {
        log_error(r.log_name + ": the outbox did not answer within " + std::to_string(r.bound_s) +
                  " s (a disk that hangs?); " +
                  count_text(counters.backlog_messages.load(), r.noun) +
                  " waiting in memory are lost");
        return;
    }
    if (store.messages() > 0)
        log_info(r.log_name + ": " + count_text(store.messages(), r.noun) + " (" +
                 std::to_string(store.bytes()) + " bytes) remain in the outbox " + store.path() +
                 "; they go at the next start");
    const DropTally lost = writer.dropped_this_run();
    const uint64_t n = total_count(lost);
    if (n == 0) return;
    log_warning(r.log_name + ": " + count_text(n, r.noun) + " could not be stored in this run" +
                (r.lost_detail ? r.lost_detail(lost) : std::string()));
}

bool stop_writer_and_report(const StopReport& r, OutboxWriter& writer, const OutboxStore& store,
                            const OutboxCounters& counters,
                            std::chrono::steady_clock::time_point start) {
    const bool written = writer.stop(std::max(std::chrono::steady_clock::now() + steady_duration(1.0),
                                              start + steady_duration(r.bound_s - 0.5)));
    report_stop(r, written, store, writer, counters);
    return written;
}

}  // namespace smdgw
