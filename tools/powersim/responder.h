#pragma once
// The plant alone: answers whatever commands arrive on the line, for a
// gateway that polls by itself. Every poll of the sequence is answered in
// the encoding it asks for; control commands get an empty normal reply. The
// line faults (--drop, --corrupt, --noise, --silence) and the plant faults
// apply; with echo every command is first sent back as an RS-485 adapter does.

#include <json/value.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

#include "host/frame_codec.h"
#include "tools/powersim/line_traffic.h"
#include "tools/powersim/poll_answers.h"

namespace powersim {

struct ResponderOptions {
    PollLayout layout;
    bool echo = false;
    double time_scale = 1.0;  // --silence lasts its seconds divided by this
};

class Responder : private smd::FrameSink {
   public:
    Responder(LineTraffic& plants, ResponderOptions options)
        : plants_(plants), options_(options), decoder_(*this) {}

    // Feeds bytes read from the line; returns the wire text of the answers.
    std::string feed(const unsigned char* data, size_t n);
    // Rounds started so far at the busiest address: a round starts with the
    // first command the master ever sent to that address, each time it comes again.
    unsigned rounds() const { return rounds_; }
    // One entry per round started ({"round","address","encoding","snapshot"})
    // and per control command received ({"control","address","after_round"}).
    const Json::Value& sent() const { return sent_; }
    uint64_t commands() const { return commands_; }

   private:
    struct AddressState {
        int first_cid1 = -1;
        int first_cid2 = -1;
        unsigned rounds = 0;
    };

    void on_frame(const uint8_t* frame, size_t length) override;
    void on_frame_error(smd::FrameError why) override { (void)why; }
    // False while the line is silent (--silence).
    bool answering(unsigned round_started);

    LineTraffic& plants_;
    ResponderOptions options_;
    smd::FrameDecoder decoder_;
    std::string out_;
    std::map<uint8_t, AddressState> addresses_;
    unsigned rounds_ = 0;
    uint64_t commands_ = 0;
    bool silence_done_ = false;
    std::chrono::steady_clock::time_point silent_until_{};
    Json::Value sent_{Json::arrayValue};
};

}  // namespace powersim
