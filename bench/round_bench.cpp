// One full captured round: wire bytes through process, the round close,
// RoundDone and every alarm rule, with the plug-in's log discarded or written
// to a file. The counters give the fraction of one core that following one
// 9600-baud line needs, and how many such lines one core can follow.

#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

#include "bench/bench_plant.h"
#include "bench/log_target.h"

namespace {

class CountingSink : public HostSink {
   public:
    void on_publish(const std::string&, const smd::RecordPublished&) override { published += 1; }
    uint64_t published = 0;
};

struct LogVolume {
    double bytes = 0;
    double lines = 0;
};

// The log one round writes, measured on a device of its own.
LogVolume log_per_round(const std::vector<unsigned char>& round) {
    const std::string path = bench::temp_path("smd_bench_log");
    CountingSink sink;
    std::unique_ptr<Veltra_Quelm_K418T_419> drv;
    {
        bench::StdoutRedirect quiet("/dev/null");
        drv = bench::make_driver(sink, bench::mode2_entry());
    }
    std::vector<unsigned char> bytes = round;
    {
        bench::StdoutRedirect quiet("/dev/null");
        drv->process(bytes.data(), static_cast<unsigned>(bytes.size()));
    }
    LogVolume v;
    {
        bench::StdoutRedirect out(path);
        drv->process(bytes.data(), static_cast<unsigned>(bytes.size()));
    }
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f) {
        for (int c; (c = std::fgetc(f)) != EOF;) {
            v.bytes += 1;
            if (c == '\n') v.lines += 1;
        }
        std::fclose(f);
    }
    ::unlink(path.c_str());
    return v;
}

// Where the log goes: descriptor 1 on /dev/null or on a file (a system call per
// line, as every line is flushed), or std::cout on a buffer that drops the text
// (the lines are built, not delivered: the driver's own cost).
enum class LogSink { DevNull, File, DroppedInProcess };

// A stream buffer that accepts everything and keeps nothing.
class DropBuffer : public std::streambuf {
   protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

void run_rounds(benchmark::State& state, LogSink where) {
    const bool to_file = where == LogSink::File;
    const std::string wire = bench::full_round_text();
    std::vector<unsigned char> bytes(wire.begin(), wire.end());
    const unsigned n = static_cast<unsigned>(bytes.size());
    const LogVolume volume = log_per_round(bytes);

    const std::string path = to_file ? bench::temp_path("smd_bench_log") : std::string("/dev/null");
    CountingSink sink;
    uint64_t rounds = 0;
    {
        bench::StdoutRedirect out(path);
        DropBuffer drop;
        std::streambuf* const cout_buffer = std::cout.rdbuf();
        if (where == LogSink::DroppedInProcess) std::cout.rdbuf(&drop);
        if (!out.ok()) {
            state.SkipWithError("cannot redirect standard output");
            return;
        }
        auto drv = bench::make_driver(sink, bench::mode2_entry());
        drv->process(bytes.data(), n);  // the first round raises the alarms
        for (auto _ : state) {
            drv->process(bytes.data(), n);
            if (to_file && ++rounds % 1024 == 0) {
                state.PauseTiming();
                out.rewind();
                state.ResumeTiming();
            }
        }
        std::cout.rdbuf(cout_buffer);
    }
    if (to_file) ::unlink(path.c_str());
    if (sink.published != static_cast<uint64_t>(state.iterations()) + 1)
        state.SkipWithError("a round did not close");

    const double wire_s = bench::wire_seconds(wire);
    using benchmark::Counter;
    state.counters["wire_bytes"] = static_cast<double>(n);
    state.counters["log_lines"] = volume.lines;
    state.counters["log_bytes"] = volume.bytes;
    // CPU seconds per round over wire seconds per round.
    state.counters["core_fraction"] =
        Counter(wire_s, Counter::kIsIterationInvariantRate | Counter::kInvert);
    state.counters["lines_per_core"] = Counter(wire_s, Counter::kIsIterationInvariantRate);
}

void BM_RoundLogDiscarded(benchmark::State& state) { run_rounds(state, LogSink::DevNull); }
void BM_RoundLogToFile(benchmark::State& state) { run_rounds(state, LogSink::File); }
void BM_RoundLogDroppedInProcess(benchmark::State& state) {
    run_rounds(state, LogSink::DroppedInProcess);
}

BENCHMARK(BM_RoundLogDiscarded)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RoundLogToFile)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RoundLogDroppedInProcess)->Unit(benchmark::kMicrosecond);

}  // namespace
