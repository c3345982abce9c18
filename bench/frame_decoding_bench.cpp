// Frame decoding throughput in wire text, next to a loop that only turns the
// same hex text into bytes.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench/bench_plant.h"
#include "host/frame_codec.h"

namespace {

class CountingSink : public smd::FrameSink {
   public:
    void on_frame(const uint8_t* frame, size_t length) override {
        frames_ += 1;
        checksum_ += frame[length - 1];
    }
    void on_frame_error(smd::FrameError) override { errors_ += 1; }
    uint64_t frames_ = 0;
    uint64_t errors_ = 0;
    uint64_t checksum_ = 0;
};

// Ten rounds of the full plant, so that one call decodes a realistic stretch of line.
const std::string& wire_text() {
    static const std::string text = [] {
        const std::string round = bench::full_round_text();
        std::string all;
        for (int i = 0; i < 10; ++i) all += round;
        return all;
    }();
    return text;
}

void BM_FrameDecoding(benchmark::State& state) {
    const std::string& text = wire_text();
    const auto* data = reinterpret_cast<const uint8_t*>(text.data());
    CountingSink sink;
    smd::FrameDecoder decoder(sink);
    for (auto _ : state) {
        decoder.feed(data, text.size());
        benchmark::DoNotOptimize(sink.checksum_);
    }
    if (sink.errors_ != 0) state.SkipWithError("frame errors in the benchmark's own wire text");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_FrameDecoding);

// A hex digit's value, either case, without a branch (the text holds nothing
// else between SOI and EOI).
inline unsigned hex_value(uint8_t c) { return (c & 0x0Fu) + 9u * (c >> 6); }

// Only hex to bytes: every hex digit pair becomes a byte, SOI and EOI are skipped;
// no frame is checked.
void BM_HexOnlyBaseline(benchmark::State& state) {
    const std::string& text = wire_text();
    std::vector<uint8_t> out(text.size() / 2 + 1);
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const size_t len = text.size();
    for (auto _ : state) {
        size_t n = 0;
        for (size_t i = 0; i + 1 < len;) {
            if (p[i] == smd::kSoi || p[i] == smd::kEoi) {
                ++i;
                continue;
            }
            out[n++] = static_cast<uint8_t>(hex_value(p[i]) << 4 | hex_value(p[i + 1]));
            i += 2;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_HexOnlyBaseline);

}  // namespace
