#pragma once
// The plant alone: answers whatever commands arrive on the line, for a driver
// that polls by itself.

#include <json/value.h>

#include <cstdint>
#include <string>

#include "host/frame_codec.h"
#include "tools/powersim/line_traffic.h"

namespace powersim {

class Responder : private smd::FrameSink {
   public:
    explicit Responder(LineTraffic& plants) : plants_(plants), decoder_(*this) {}

    // Feeds bytes read from the line; returns the wire text of the answers.
    std::string feed(const unsigned char* data, size_t n);
    // Rounds started so far: a round starts with the first command the
    // master ever sent, each time it comes again.
    unsigned rounds() const { return rounds_; }
    // What was answered in each round, as snapshots (for tests).
    const Json::Value& sent() const { return sent_; }
    uint64_t commands() const { return commands_; }

   private:
    void on_frame(const uint8_t* frame, size_t length) override;
    void on_frame_error(smd::FrameWeird why) override { (void)why; }

    LineTraffic& plants_;
    smd::FrameDecoder decoder_;
    std::string out_;
    int first_cid1_ = -1;
    int first_cid2_ = -1;
    unsigned rounds_ = 0;
    uint64_t commands_ = 0;
    Json::Value sent_{Json::arrayValue};
};

// The response INFO to a command, or false when the plant does not know it.
bool response_info(const veltra_frames::PlantSnapshot& s, uint8_t cid1, uint8_t cid2,
                   const veltra_frames::Bytes& command_info, veltra_frames::Bytes& out);

}  // namespace powersim
