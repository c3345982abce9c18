// Heap bytes one driver object holds after InitSetting, measured over many
// objects with the allocator's own count (sizeof alone misses what the
// object allocates).

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <memory>
#include <vector>

#include "bench/bench_plant.h"
#include "bench/log_target.h"

namespace {

constexpr int kObjects = 64;

size_t heap_in_use() { return mallinfo2().uordblks; }

// Average heap bytes per driver created and set up with the entry, the
// entry's own copy excluded.
double bytes_per_driver(const Json::Value& entry) {
    HostSink sink;
    std::vector<std::unique_ptr<Veltra_Quelm_K418T_419>> drivers;
    drivers.reserve(kObjects);
    bench::StdoutRedirect out("/dev/null");
    const size_t before = heap_in_use();
    for (int i = 0; i < kObjects; ++i) drivers.push_back(bench::make_driver(sink, entry));
    const size_t after = heap_in_use();
    return static_cast<double>(after - before) / kObjects;
}

void BM_DriverMemory(benchmark::State& state) {
    double typical = 0;
    double minimal = 0;
    for (auto _ : state) {
        minimal = bytes_per_driver(bench::minimal_entry());
        typical = bytes_per_driver(bench::mode2_entry());
    }
    state.counters["sizeof"] = sizeof(Veltra_Quelm_K418T_419);
    state.counters["bytes_minimal_entry"] = minimal;
    state.counters["bytes_mode2_entry"] = typical;
    state.counters["bytes_of_configuration"] = typical - minimal;
}
BENCHMARK(BM_DriverMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
