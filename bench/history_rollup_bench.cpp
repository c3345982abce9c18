// Years of history at scaled time: simulated rounds of a 40-module plant go
// through the gateway's history writer with a clock that runs as fast as the
// disk allows, one commit per two rounds (the default 10 s at a round every
// 5.6 s). Prints:
//   cost     CPU time and bytes written per round with and without roll-ups;
//   size     the file after --days days with the default retention, per
//            resolution (raw rounds, 1-minute and 1-hour roll-ups, alarm log);
//   check    the roll-ups of the last days (what the raw rounds still hold,
//            about a week) against a recomputation from those rounds (min,
//            max, last exact; mean within float rounding);
//   queries  a 1-year hourly and a 30-day auto chart query, p50 and p99;
//   log      the alarm log at its cap of a million changes.
//
//   history_rollup_bench [--days 400] [--file /var/tmp/h.db] [--cost-rounds 20000]

#include <json/reader.h>
#include <sqlite3.h>
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_plant.h"
#include "bench/log_target.h"
#include "record/record_fields.h"
#include "record/veltra_record.h"
#include "tools/smdgw/history/history_columns.h"
#include "tools/smdgw/history/history_store.h"
#include "tools/smdgw/history/history_writer.h"
#include "tools/smdgw/history/sqlite_statement.h"
#include "tools/smdgw/http/history_query.h"
#include "tools/smdgw/http/history_resolution.h"

namespace {

constexpr double kRoundSeconds = 5.6;
constexpr int64_t kStart = 1735689600;  // 2025-01-01 00:00:00 UTC
constexpr int kRoundsPerCommit = 2;

// One real record of the full plant, as the driver stores it.
class RecordSink : public HostSink {
   public:
    void on_history(const std::string&, const smd::RecordStored& s) override {
        if (s.data && s.length == kRecordSize) record.assign(s.data, s.data + s.length);
    }
    std::vector<unsigned char> record;
};

std::vector<unsigned char> plant_record() {
    RecordSink sink;
    std::unique_ptr<Veltra_Quelm_K418T_419> drv;
    {
        bench::StdoutRedirect quiet("/dev/null");
        drv = bench::make_driver(sink, bench::minimal_entry());
        const std::string wire = bench::full_round_text();
        std::vector<unsigned char> bytes(wire.begin(), wire.end());
        drv->process(bytes.data(), static_cast<unsigned>(bytes.size()));
        drv->process(bytes.data(), static_cast<unsigned>(bytes.size()));
    }
    return sink.record;
}

// The record's analog values move with time: the load follows the day, the
// bus voltage a little with it, so every roll-up has a spread.
class PlantRounds {
   public:
    PlantRounds() : base_(plant_record()) {
        // The history columns with a number in the record: float fields with
        // a unit, within the counts the record gives.
        const unsigned char* rec = base_.data();
        veltra::for_each_value(rec, veltra::Sections::AsDumped, [&](const veltra::RecordValue& v) {
            if (v.field->type != veltra::FieldType::F32 || v.field->unit[0] == '\0' || !v.valid)
                return;
            const float value = load_le_f32(v.at);
            if (std::isfinite(value)) places_.push_back({static_cast<size_t>(v.at - rec), value});
        });
    }
    std::vector<unsigned char> at(int64_t t, uint64_t n) const {
        std::vector<unsigned char> r = base_;
        const double day = std::sin(static_cast<double>(t % 86400) / 86400.0 * 6.2831853);
        for (size_t k = 0; k < places_.size(); ++k) {
            const double wobble = 0.02 * day + 0.001 * static_cast<double>((n * 7 + k) % 11);
            store_le_f32(&r[places_[k].offset],
                         static_cast<float>(places_[k].value * (1.0 + wobble)));
        }
        return r;
    }

   private:
    struct Place {
        size_t offset;
        float value;
    };
    std::vector<unsigned char> base_;
    std::vector<Place> places_;
};

struct Usage {
    double cpu_s = 0;
    double written = 0;  // bytes handed to write(2) and pwrite(2)
};

// CPU seconds of the process's threads other than the main one: the
// history's writer thread, without the simulation that feeds it.
double other_threads_cpu_s() {
    const std::string main_tid = std::to_string(::getpid());
    double ticks = 0;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("/proc/self/task"), ::closedir);
    if (!dir) return 0;
    while (const dirent* e = ::readdir(dir.get())) {
        const std::string tid = e->d_name;
        if (tid == "." || tid == ".." || tid == main_tid) continue;
        std::ifstream stat("/proc/self/task/" + tid + "/stat");
        std::string line;
        std::getline(stat, line);
        // utime and stime are fields 14 and 15, after the parenthesised name.
        const size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        std::string field;
        double utime = 0, stime = 0;
        for (int k = 3; k <= 15 && rest >> field; ++k) {
            if (k == 14) utime = std::atof(field.c_str());
            if (k == 15) stime = std::atof(field.c_str());
        }
        ticks += utime + stime;
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

Usage usage_now() {
    Usage u;
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    u.cpu_s = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
              static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    std::ifstream io("/proc/self/io");
    std::string key;
    double v = 0;
    while (io >> key >> v)
        if (key == "wchar:") u.written = v;
    return u;
}

void remove_db(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) ::unlink((path + suffix).c_str());
}

// A stretch of simulated time with one round every `step` seconds, up to
// `until` (seconds after kStart).
struct Phase {
    double until;
    double step;
};

// Writes the rounds of the phases through a writer; returns how many.
uint64_t write_rounds(const std::string& path, const PlantRounds& plant,
                      const std::vector<Phase>& phases, bool rollups,
                      const smdgw::Retention& retention, bool progress,
                      double* writer_cpu_s = nullptr) {
    smdgw::HistoryStore store = smdgw::HistoryStore::open_for_writing(path);
    int64_t now = kStart;
    smdgw::HistoryWriter w(store, retention, [&now] { return now; }, {},
                           smdgw::HistoryWriter::kDefaultQueueLimit, std::chrono::milliseconds(0),
                           rollups);
    uint64_t n = 0;
    double t = 0;
    int last_day = 0;
    for (const Phase& phase : phases) for (; t < phase.until; t += phase.step, ++n) {
        smdgw::StoredRecord r;
        r.device = "plant1";
        r.data_id = 418;
        r.time = kStart + static_cast<int64_t>(t);
        r.bytes = plant.at(r.time, n);
        // An alarm flaps now and then, for the alarm log.
        if (n % 5000 == 0) {
            smdgw::AlarmLogEntry e;
            e.time = r.time;
            e.device = "plant1";
            e.change = (n / 5000) % 2 == 0 ? smdgw::AlarmLogChange::Raised : smdgw::AlarmLogChange::Cleared;
            e.alarm_id = "0x001";
            e.key = "ac_channels[0].a";
            e.level = 2;
            e.value = "175.3";
            e.message = "交流输入A相电压过低";
            w.log_alarm(e);
        }
        w.add(std::move(r));
        if (n % kRoundsPerCommit == kRoundsPerCommit - 1) {
            // The writer's own thread reads the clock for the retention.
            now = kStart + static_cast<int64_t>(t);
            w.flush();
        }
        if (progress && static_cast<int>(t / 86400) >= last_day + 20) {
            last_day = static_cast<int>(t / 86400);
            std::fprintf(stderr, "  day %d\n", last_day);
        }
    }
    w.flush();
    if (writer_cpu_s) *writer_cpu_s = other_threads_cpu_s();
    return n;
}

// The alarm log at its cap: a flapping alarm, a change every 10 s.
void fill_alarm_log(const std::string& path, int64_t changes) {
    smdgw::HistoryStore store = smdgw::HistoryStore::open_for_writing(path);
    smdgw::HistoryWriter w(store, smdgw::Retention(), [] { return kStart; });
    for (int64_t k = 0; k < changes; ++k) {
        smdgw::AlarmLogEntry e;
        e.time = kStart - 3 * 365 * 86400 + k * 10;
        e.device = "plant1";
        e.change = k % 2 == 0 ? smdgw::AlarmLogChange::Raised : smdgw::AlarmLogChange::Cleared;
        e.alarm_id = "0x001";
        e.key = "ac_channels[0].a";
        e.level = 2;
        e.value = "175.3";
        e.message = "交流输入A相电压过低";
        w.log_alarm(e);
        if (k % 4000 == 3999) w.flush();
    }
}

void print_sizes(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    std::map<std::string, double> by;
    {
        smdgw::sqlite::Statement s(db,
                                   "SELECT coalesce(tbl_name, d.name), sum(pgsize) FROM dbstat d "
                                   "LEFT JOIN sqlite_master m ON m.name = d.name GROUP BY 1");
        if (s.prepare_result() != SQLITE_OK) {
            std::printf("  (no dbstat in this SQLite: %s)\n", sqlite3_errmsg(db));
        }
        while (s.step() == SQLITE_ROW) by[s.text_at(0)] += static_cast<double>(s.int_at(1));
    }
    const std::map<std::string, std::string> label = {{"history", "raw rounds"},
                                                      {"rollup_1m", "1-minute roll-ups"},
                                                      {"rollup_1h", "1-hour roll-ups"},
                                                      {"alarm_log", "alarm log"}};
    for (const auto& kv : by) {
        const auto it = label.find(kv.first);
        std::printf("  %-22s %9.1f MB\n", it == label.end() ? kv.first.c_str() : it->second.c_str(),
                    kv.second / 1e6);
    }
    const char* counts[] = {"history", "rollup_1m", "rollup_1h", "alarm_log"};
    for (const char* t : counts) {
        smdgw::sqlite::Statement s(db, (std::string("SELECT count(*) FROM ") + t).c_str());
        if (s.step() == SQLITE_ROW) std::printf("  rows in %-14s %9lld\n", t, (long long)s.int_at(0));
    }
    sqlite3_close(db);
    double file = 0;
    for (const char* suffix : {"", "-wal"}) {
        std::ifstream f(path + suffix, std::ios::binary | std::ios::ate);
        if (f) file += static_cast<double>(f.tellg());
    }
    std::printf("  file with its log      %9.1f MB\n", file / 1e6);
}

// The roll-ups whose spans the kept raw rounds cover from their start to
// their end, against a recomputation from those rounds.
void check_rollups(const std::string& path, int64_t since) {
    smdgw::HistoryStore store = smdgw::HistoryStore::open_for_reading(path);
    for (size_t span = 0; span < smdgw::kRollupSpanCount; ++span) {
        const int64_t seconds = smdgw::kRollupSpans[span].seconds;
        struct Want {
            uint32_t rounds = 0;
            std::vector<float> min, max, last;
            std::vector<double> sum;
            std::vector<uint32_t> count;
        };
        std::map<int64_t, Want> want;
        std::vector<float> v;
        smdgw::HistoryFilter f;
        f.since = smdgw::span_start(since + seconds - 1, seconds);  // whole spans only
        store.for_each(f, [&](const smdgw::StoredRecord& r) {
            Want& w = want[r.time - r.time % seconds];
            smdgw::analog_values(r.bytes.data(), v);
            if (w.rounds++ == 0) {
                w.min = w.max = w.last = v;
                w.sum.assign(v.size(), 0);
                w.count.assign(v.size(), 0);
            }
            for (size_t k = 0; k < v.size(); ++k) {
                if (std::isnan(v[k])) continue;
                if (w.count[k] == 0 || v[k] < w.min[k]) w.min[k] = v[k];
                if (w.count[k] == 0 || v[k] > w.max[k]) w.max[k] = v[k];
                w.last[k] = v[k];
                w.sum[k] += v[k];
                ++w.count[k];
            }
        });
        size_t compared = 0, wrong = 0;
        double worst_mean = 0;
        smdgw::HistoryFilter rf;
        rf.since = f.since;
        store.for_each_rollup(span, rf, [&](const smdgw::Rollup& u) {
            const auto it = want.find(u.start);
            if (it == want.end()) {
                ++wrong;
                return;
            }
            const Want& w = it->second;
            bool same = u.rounds == w.rounds && u.columns.size() == w.count.size();
            for (size_t k = 0; same && k < w.count.size(); ++k) {
                const smdgw::ColumnStats& c = u.columns[k];
                same = c.count == w.count[k];
                if (!same || c.count == 0) continue;
                same = c.min == w.min[k] && c.max == w.max[k] && c.last == w.last[k];
                const double mean = w.sum[k] / w.count[k];
                worst_mean = std::max(worst_mean, std::fabs(c.mean() - mean) / std::fabs(mean));
                same = same && std::fabs(c.mean() - mean) <= std::fabs(mean) * 1e-6;
            }
            ++compared;
            if (!same) ++wrong;
        });
        std::printf("  %s: %zu roll-ups compared, %zu differ; worst relative mean error %.2g\n",
                    smdgw::kRollupSpans[span].name, compared, wrong, worst_mean);
    }
}

void time_query(const std::string& path, const smdgw::http::HistoryQuery& q, const char* what) {
    std::vector<double> ms;
    size_t points = 0, bytes = 0;
    std::string resolution;
    for (int k = 0; k < 41; ++k) {
        const auto t0 = std::chrono::steady_clock::now();
        // The JSON text the route answers with.
        const std::string text = smdgw::http::run_history_resolution(path, q);
        const auto t1 = std::chrono::steady_clock::now();
        if (k == 0) {  // the first one reads the file into the cache
            Json::Value out;
            std::istringstream in(text);
            Json::parseFromStream(Json::CharReaderBuilder(), in, &out, nullptr);
            points = out["rows"].size();
            resolution = out["resolution"].asString();
            bytes = text.size();
            continue;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("  %-28s %5zu points (%s, %zu bytes of JSON): p50 %.1f ms, p99 %.1f ms\n", what,
                points, resolution.c_str(), bytes, ms[ms.size() / 2], ms[ms.size() * 99 / 100]);
}

}  // namespace

int main(int argc, char** argv) {
    double days = 400;
    std::string path = "/var/tmp/smdgw_history_bench.db";
    uint64_t cost_rounds = 20000;
    bool existing = false;
    for (int k = 1; k < argc; ++k) {
        const std::string a = argv[k];
        const bool value = k + 1 < argc;
        if (a == "--existing") existing = true;  // the file of an earlier run, only read
        else if (a == "--days" && value) days = std::atof(argv[++k]);
        else if (a == "--file" && value) path = argv[++k];
        else if (a == "--cost-rounds" && value) cost_rounds = std::strtoull(argv[++k], nullptr, 10);
        else {
            std::fprintf(stderr,
                         "usage: %s [--days N] [--file PATH] [--cost-rounds N] [--existing]\n",
                         argv[0]);
            return 2;
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const PlantRounds plant;
    const smdgw::Retention defaults;

    if (!existing) {
    // What the roll-ups cost, all raw rounds kept.
    smdgw::Retention week = defaults;
    week.max_age_seconds = 8 * 86400;
    week.max_rows_per_device = 0;
    std::printf("cost per round, %llu rounds (%.1f hours), a commit per %d rounds:\n",
                (unsigned long long)cost_rounds, cost_rounds * kRoundSeconds / 3600,
                kRoundsPerCommit);
    // Alternately with and without, five times each: the medians, since
    // other work on the machine moves single runs by tens of percent.
    constexpr int kRuns = 5;
    std::vector<double> process_cpu[2], writer_cpu[2], written[2];
    for (int run = 0; run < kRuns; ++run) {
        for (int with = 0; with < 2; ++with) {
            remove_db(path);
            const Usage a = usage_now();
            double writer = 0;
            write_rounds(path, plant,
                         {{static_cast<double>(cost_rounds) * kRoundSeconds, kRoundSeconds}},
                         with == 1, week, false, &writer);
            const Usage b = usage_now();
            const double n = static_cast<double>(cost_rounds);
            process_cpu[with].push_back((b.cpu_s - a.cpu_s) / n);
            writer_cpu[with].push_back(writer / n);
            written[with].push_back((b.written - a.written) / n);
            if (std::getenv("SMD_BENCH_VERBOSE"))
                std::printf("    run %d %s: %.1f us writer CPU\n", run, with ? "with" : "without",
                            writer / n * 1e6);
        }
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    double per[2][3];
    for (int with = 0; with < 2; ++with) {
        per[with][0] = median(writer_cpu[with]);
        per[with][1] = median(process_cpu[with]);
        per[with][2] = median(written[with]);
        std::printf("  %-16s %7.1f us writer CPU, %7.1f us process CPU, %8.0f bytes written "
                    "(medians of %d)\n",
                    with ? "with roll-ups" : "without roll-ups", per[with][0] * 1e6,
                    per[with][1] * 1e6, per[with][2], kRuns);
    }
    std::printf("  roll-ups add %.1f %% writer CPU (%.1f %% process CPU) and %.1f %% bytes written\n",
                (per[1][0] / per[0][0] - 1) * 100, (per[1][1] / per[0][1] - 1) * 100,
                (per[1][2] / per[0][2] - 1) * 100);

    }
    if (days <= 0 && !existing) return 0;  // the cost alone

    // What is kept after the days: the hours of all of them, the minutes of
    // the last 90, the raw rounds of the last 100,000. Days older than what
    // a resolution keeps need only as many rounds as give it every row: a
    // round an hour before the minutes' 90 days, a round a minute before the
    // last 8 days, then one every 5.6 s. A row's size does not depend on the
    // rounds behind it.
    const double span = days * 86400;
    const std::vector<Phase> phases = {{std::max(0.0, span - 91 * 86400), 3600},
                                       {std::max(0.0, span - 8 * 86400), 60},
                                       {span, kRoundSeconds}};
    std::printf("%.0f days of one 40-module plant, default retention (a round an hour up to day "
                "%.0f, a minute up to day %.0f, then every 5.6 s):\n",
                days, phases[0].until / 86400, phases[1].until / 86400);
    int64_t end = kStart + static_cast<int64_t>(span);
    if (!existing) {
        remove_db(path);
        const auto t0 = std::chrono::steady_clock::now();
        const uint64_t rounds = write_rounds(path, plant, phases, true, defaults, true);
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("  %llu rounds written in %.0f s (%.0f us a round)\n",
                    (unsigned long long)rounds, took, took / static_cast<double>(rounds) * 1e6);
    } else {
        smdgw::HistoryStore store = smdgw::HistoryStore::open_for_reading(path);
        store.for_each({}, [&](const smdgw::StoredRecord& r) { end = r.time; });
        std::printf("  (the file of an earlier run, up to day %.2f)\n",
                    static_cast<double>(end - kStart) / 86400);
    }
    print_sizes(path);

    std::printf("the last days' roll-ups against the raw rounds kept:\n");
    int64_t oldest = end;
    {
        smdgw::HistoryStore store = smdgw::HistoryStore::open_for_reading(path);
        smdgw::HistoryFilter f;
        f.since = end - 8 * 86400;
        store.for_each(f, [&](const smdgw::StoredRecord& r) { oldest = std::min(oldest, r.time); });
    }
    std::printf("  raw rounds from %.2f days before the end\n",
                static_cast<double>(end - oldest) / 86400);
    check_rollups(path, oldest);

    std::printf("chart queries (dc.v, dc.i):\n");
    smdgw::http::HistoryQuery q;
    q.device = "plant1";
    q.fields = {"dc.v", "dc.i"};
    q.resolution = "1h";
    q.since = end - 365 * 86400;
    q.until = end;
    time_query(path, q, "1 year, resolution=1h");
    q.resolution = "auto";
    q.since = end - 30 * 86400;
    time_query(path, q, "30 days, resolution=auto");
    q.since = end - 365 * 86400;
    time_query(path, q, "1 year, resolution=auto");
    q.since = end - 86400;
    time_query(path, q, "24 hours, resolution=auto");

    const std::string log_path = path + ".alarms";
    remove_db(log_path);
    std::printf("the alarm log at its cap (%lld changes):\n", (long long)defaults.alarm_log_max_rows);
    fill_alarm_log(log_path, defaults.alarm_log_max_rows);
    print_sizes(log_path);
    remove_db(log_path);
    return 0;
}
