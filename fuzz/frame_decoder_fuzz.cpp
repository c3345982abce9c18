// The frame decoder fed arbitrary bytes in arbitrary chunks. Every frame it
// hands over must be within its bounds and agree with its own length field.

#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "host/frame_codec.h"

namespace {

class CheckingSink : public smd::FrameSink {
   public:
    void on_frame(const uint8_t* frame, size_t length) override {
        if (length < smd::kHeaderBytes || length > smd::kMaxFrameBytes) std::abort();
        const unsigned lenid = frame[4] | frame[5] << 8;
        if ((lenid >> 1) != length - smd::kHeaderBytes) std::abort();
        // Touches every byte handed over.
        for (size_t i = 0; i < length; ++i) sum_ += frame[i];
        ++frames;
    }
    void on_frame_error(smd::FrameError why) override {
        if (static_cast<size_t>(why) >= smd::kFrameErrorCount) std::abort();
        ++errors;
    }
    uint64_t frames = 0;
    uint64_t errors = 0;

   private:
    unsigned sum_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Input in(data, size);
    const uint8_t chunking = in.byte();
    CheckingSink sink;
    smd::FrameDecoder decoder(sink);
    fuzzsupport::for_each_chunk(in.rest(), chunking, [&](const std::vector<uint8_t>& chunk) {
        const auto copy = fuzzsupport::exact_copy(chunk);
        decoder.feed(copy.get(), chunk.size());
    });
    const smd::FrameCounters& c = decoder.counters();
    if (c.accepted != sink.frames || c.errors() != sink.errors) std::abort();
    return 0;
}
