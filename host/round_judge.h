#pragma once
// The host's judgement of one data round: what went wrong on the line between
// two publications of a device. The driver publishes whatever its round buffer
// holds; this tells whether that picture is whole.
//
// A round on the wire as the judge sees it (address 1, one response lost):
//   cmd 42/44  rsp   cmd 40/41  (nothing)  cmd 40/44  rsp  ...  cmd E1/90  rsp
//                               ^ the 40/41 command is unanswered: 1, when the
//                                 plant has answered 40/41 at least once before.

#include <cstddef>
#include <cstdint>
#include <set>

#include "host/frame_codec.h"

// What the host knows about the round it publishes.
struct RoundQuality {
    uint64_t frame_errors = 0;         // frames on the device's line that failed the codec
    uint64_t unanswered_commands = 0;  // commands of known answerable pairs left unanswered
    bool restored = false;             // handed back from the history, not seen on the line
    bool complete() const { return frame_errors == 0 && unanswered_commands == 0; }
};

class RoundJudge {
   public:
    // The device's address; -1 judges the commands of every address.
    explicit RoundJudge(int address = -1) : address_(address) {}
    void set_address(int address) { address_ = address; }

    // Every frame the device's decoder accepted, whether or not the address
    // filter delivers it: byte 1 ADR, 2 CID1, 3 CID2 or RTN.
    void on_frame(const uint8_t* frame, size_t length);
    // A frame the codec rejected. Its address cannot be trusted, so it counts
    // against every device on the line, and it may have been the response.
    void on_frame_error();
    // Closes the round at its publication: a command still waiting counts as
    // unanswered. Returns the round's quality and starts counting afresh.
    RoundQuality close_round();
    // Looks at the round so far without closing it.
    RoundQuality peek() const;

    // CID1/CID2 pairs the plant has answered since start.
    bool answered_before(uint8_t cid1, uint8_t cid2) const;
    size_t pairs_answered() const { return answered_.size(); }

   private:
    struct Pending {
        bool waiting = false;
        uint8_t cid1 = 0;
        uint8_t cid2 = 0;
    };
    bool ours(uint8_t adr) const { return address_ < 0 || adr == address_; }
    static uint16_t pair(uint8_t cid1, uint8_t cid2) {
        return static_cast<uint16_t>(cid1 << 8 | cid2);
    }
    // The command waiting ended without a response.
    void give_up_pending();
    bool is_answer(uint8_t adr, uint8_t cid1, uint8_t code) const;

    int address_;
    Pending pending_;
    std::set<uint16_t> answered_;
    // Commands left unanswered this round, judged at the close against the
    // pairs answered by then.
    std::multiset<uint16_t> unanswered_;
    uint64_t frame_errors_ = 0;
};
