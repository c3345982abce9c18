#include "tools/smdgw/history/history_session.h"

#include <CLI/CLI.hpp>

#include <map>
#include <utility>

#include "host/host_clock.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/history/history_restore.h"
#include "tools/smdgw/history/history_time.h"

namespace smdgw {

namespace {

std::map<std::string, uint32_t> data_ids_of(const GatewayConfig& cfg) {
    std::map<std::string, uint32_t> ids;
    for (const DeviceConfig& d : cfg.devices) ids[d.name] = d.data_id;
    return ids;
}

}  // namespace

bool HistoryOptions::check() {
    int64_t keep_seconds = 0;
    const std::pair<const char*, std::string*> keeps[] = {
        {"--history-keep", &keep}, {"--history-keep-1m", &keep_1m}, {"--history-keep-1h", &keep_1h}};
    int64_t seconds[3] = {};
    for (size_t k = 0; k < 3; ++k) {
        if (!parse_duration_text(*keeps[k].second, seconds[k])) {
            log_error(std::string(keeps[k].first) + " \"" + *keeps[k].second +
                      "\" is not a duration (90, 90s, 15m, 12h, 7d)");
            return false;
        }
    }
    keep_seconds = seconds[0];
    if (!parse_duration_text(restore_age, restore_seconds)) {
        log_error("--history-restore-age \"" + restore_age +
                  "\" is not a duration (90, 90s, 15m, 12h, 7d)");
        return false;
    }
    if (max_rows < 0) {
        log_error("--history-max-rows must not be negative");
        return false;
    }
    if (alarm_log_max_rows < 0) {
        log_error("--history-alarm-log-max-rows must not be negative");
        return false;
    }
    if (!(commit_s >= 0.0 && commit_s <= 3600.0)) {
        log_error("--history-commit-s " + std::to_string(commit_s) +
                  " is not a number of seconds from 0 to 3600");
        return false;
    }
    retention.max_age_seconds = keep_seconds;
    retention.max_rows_per_device = max_rows;
    retention.rollup_max_age_seconds[0] = seconds[1];
    retention.rollup_max_age_seconds[1] = seconds[2];
    retention.alarm_log_max_rows = alarm_log_max_rows;
    return true;
}

void add_history_options(CLI::App& app, HistoryOptions& options) {
    app.add_option("--history", options.path,
                   "Store every round in this SQLite database and restore from it at start")
        ->type_name("FILE");
    app.add_option("--history-keep", options.keep,
                   "Delete stored rounds older than this (0: keep all)")
        ->capture_default_str()
        ->type_name("DURATION");
    app.add_option("--history-keep-1m", options.keep_1m,
                   "Delete the 1-minute roll-ups older than this (0: keep all)")
        ->capture_default_str()
        ->type_name("DURATION");
    app.add_option("--history-keep-1h", options.keep_1h,
                   "Delete the 1-hour roll-ups and the logged alarm changes older than this "
                   "(0: keep all)")
        ->capture_default_str()
        ->type_name("DURATION");
    app.add_option("--history-alarm-log-max-rows", options.alarm_log_max_rows,
                   "Keep at most this many alarm changes in the alarm log, the newest "
                   "(0: no limit)")
        ->capture_default_str()
        ->type_name("N");
    app.add_option("--history-max-rows", options.max_rows,
                   "Keep at most this many rounds per device (0: no limit)")
        ->capture_default_str()
        ->type_name("N");
    app.add_option("--history-commit-s", options.commit_s,
                   "Commit stored rounds in batches at most this often; a killed process loses "
                   "the rounds of at most the last SECONDS, a power cut about 30 s more (0: "
                   "commit each round at once)")
        ->capture_default_str()
        ->type_name("SECONDS");
    app.add_option("--history-restore-age", options.restore_age,
                   "At start, hand a device its newest round only when younger (0: never)")
        ->capture_default_str()
        ->type_name("DURATION");
}

HistorySession::HistorySession(HistoryStore store, const HistoryOptions& options,
                               const GatewayConfig& cfg, const HostClock& clock,
                               const BatteryMonitor* battery)
    : store_(std::move(store)),
      clock_(clock),
      restore_seconds_(options.restore_seconds),
      writer_(store_, options.retention,
              [&clock] { return static_cast<int64_t>(clock.unix_time()); }, {},
              HistoryWriter::kDefaultQueueLimit,
              std::chrono::milliseconds(static_cast<int64_t>(options.commit_s * 1000.0))),
      recorder_(writer_, clock, data_ids_of(cfg), battery) {}

void HistorySession::add_stats(Gateway& gw) {
    gw.add_stats([this](LineOutput& out) {
        Json::Value e;
        e["event"] = "stats";
        e["history_committed"] = static_cast<Json::UInt64>(writer_.committed());
        e["history_errors"] = static_cast<Json::UInt64>(writer_.errors());
        e["history_dropped"] = static_cast<Json::UInt64>(writer_.dropped());
        e["history_failed"] = static_cast<Json::UInt64>(writer_.failed());
        e["history_queued"] = static_cast<Json::UInt64>(writer_.queued());
        out.write(std::string(), std::move(e));
    });
}

void HistorySession::restore(Gateway& gw, LineOutput& out) {
    const int64_t now = static_cast<int64_t>(clock_.unix_time());
    for (RunningDevice& d : gw.devices()) {
        RestoreOutcome r;
        Json::Value e;
        e["event"] = "history";
        try {
            // The alarms held before the restart are the current states: no
            // second "raised" for them; the first complete live round
            // settles them.
            const auto alarms = writer_.active_alarms(d.cfg.name);
            d.driver->LoadActiveAlarms(alarms);
            if (!alarms.empty()) e["alarms_loaded"] = static_cast<Json::UInt64>(alarms.size());
            d.driver->SetRestoring(true);
            r = restore_device(writer_, recorder_, d.cfg.name, *d.driver, restore_seconds_, now);
            d.driver->SetRestoring(false);
        } catch (const std::exception& ex) {
            d.driver->SetRestoring(false);
            Gateway::report(d.cfg.name, std::string("restoring from history failed: ") + ex.what());
            e["error"] = ex.what();
        }
        e["restore"] = restore_kind_name(r.kind);
        if (r.kind != RestoreOutcome::NotFound) {
            e["stored_time"] = local_time_text(r.stored_time);
            e["age"] = static_cast<Json::Int64>(r.age);
        }
        out.write(d.cfg.name, std::move(e));
    }
}

}  // namespace smdgw
