// The floor under a flushed log line: one write(2) of a line of the round's
// average length, to /dev/null and to a file. A round's log costs at least its
// line count times this.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "bench/log_target.h"

namespace {

constexpr size_t kAverageLine = 150;  // 88 kB in 591 lines

void write_lines(benchmark::State& state, const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        state.SkipWithError("cannot open the target");
        return;
    }
    const std::string line(kAverageLine - 1, 'x');
    const std::string text = line + "\n";
    uint64_t lines = 0;
    for (auto _ : state) {
        if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            state.SkipWithError("write failed");
            break;
        }
        if (++lines % 65536 == 0) {
            state.PauseTiming();
            if (::ftruncate(fd, 0) == 0) ::lseek(fd, 0, SEEK_SET);
            state.ResumeTiming();
        }
    }
    ::close(fd);
    if (path != "/dev/null") ::unlink(path.c_str());
}

void BM_LineWriteDevNull(benchmark::State& state) { write_lines(state, "/dev/null"); }

void BM_LineWriteFile(benchmark::State& state) {
    write_lines(state, bench::temp_path("smd_bench_lines"));
}

BENCHMARK(BM_LineWriteDevNull);
BENCHMARK(BM_LineWriteFile);

}  // namespace
