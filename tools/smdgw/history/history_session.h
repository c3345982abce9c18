#pragma once
// smdgw's --history options and what they set up: the database, the writer
// thread, the sink that stores every saved record, and the restore at start.

#include <cstdint>
#include <string>

#include "host/host_sink.h"
#include "tools/smdgw/core/battery_monitor.h"
#include "tools/smdgw/core/config.h"
#include "tools/smdgw/core/gateway.h"
#include "tools/smdgw/core/line_output.h"
#include "tools/smdgw/history/history_recorder.h"
#include "tools/smdgw/history/history_store.h"
#include "tools/smdgw/history/history_writer.h"

// CLI11 is heavy to compile: only the files that add options include it.
namespace CLI {
class App;
}  // namespace CLI

namespace smdgw {

struct HistoryOptions {
    std::string path;
    std::string keep = "7d";
    std::string keep_1m = "90d";   // the minutes' roll-ups
    std::string keep_1h = "3652d";  // the hours' roll-ups and the alarm log
    int64_t alarm_log_max_rows = Retention().alarm_log_max_rows;
    int64_t max_rows = Retention().max_rows_per_device;
    std::string restore_age = "5m";
    // Rounds are committed at most this often (seconds); 0 commits each at once.
    double commit_s = 10.0;

    // Filled by check().
    Retention retention;
    int64_t restore_seconds = 0;

    // False with a message on standard error when a duration does not parse.
    bool check();
};

void add_history_options(CLI::App& app, HistoryOptions& options);

class HistorySession {
   public:
    // Rows are stamped, aged and restored by the gateway's host clock; a
    // device with a battery has its estimate (battery) stored with its rounds.
    HistorySession(HistoryStore store, const HistoryOptions& options, const GatewayConfig& cfg,
                   const HostClock& clock, const BatteryMonitor* battery = nullptr);

    // The sink that stores what devices save; joins the gateway's fan-out.
    HostSink& sink() { return recorder_; }
    // A gateway-wide statistics line of the history writer.
    void add_stats(Gateway& gw);
    // Failed attempts to write so far.
    uint64_t errors() const { return writer_.errors(); }
    // Gives every device the alarms it held as raised and its newest recent
    // complete record (a restored round), and writes one "history" line per
    // device saying what happened.
    void restore(Gateway& gw, LineOutput& out);

   private:
    HistoryStore store_;
    const HostClock& clock_;
    int64_t restore_seconds_;
    HistoryWriter writer_;
    HistoryRecorder recorder_;
};

}  // namespace smdgw
