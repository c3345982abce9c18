#include "tools/smdgw/master/response_match.h"

#include <algorithm>

#include "host/frame_codec.h"

namespace smdgw::master {

namespace {

class CollectOne : public smd::FrameSink {
   public:
    void on_frame(const uint8_t* frame, size_t length) override {
        ++frames;
        bytes.assign(frame, frame + length);
    }
    void on_frame_error(smd::FrameError) override { ++errors; }
    std::vector<uint8_t> bytes;
    int frames = 0;
    int errors = 0;
};

}  // namespace

SentCommand sent_command(const std::string& wire) {
    SentCommand s;
    s.wire = wire;
    CollectOne sink;
    smd::FrameDecoder decoder(sink);
    decoder.feed(reinterpret_cast<const uint8_t*>(wire.data()), wire.size());
    if (sink.frames == 1 && sink.errors == 0) s.decoded = std::move(sink.bytes);
    return s;
}

FrameVerdict classify_frame(const uint8_t* frame, size_t length, const SentCommand& sent) {
    if (!sent.valid() || length < 6) return FrameVerdict::Unexpected;
    if (length == sent.decoded.size() && std::equal(frame, frame + length, sent.decoded.begin()))
        return FrameVerdict::Echo;
    if (frame[1] != sent.address()) return FrameVerdict::OtherAddress;
    if (frame[3] > kLastReturnCode || frame[2] != sent.cid1()) return FrameVerdict::Unexpected;
    return FrameVerdict::Response;
}

const char* verdict_name(FrameVerdict v) {
    switch (v) {
        case FrameVerdict::Response:
            return "response";
        case FrameVerdict::Echo:
            return "echo";
        case FrameVerdict::OtherAddress:
            return "other_address";
        case FrameVerdict::Unexpected:
            return "unexpected";
    }
    return "unknown";
}

}  // namespace smdgw::master
