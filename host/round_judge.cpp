#include "host/round_judge.h"

namespace {

// Return codes a response carries when it refuses a command; they are never
// command codes. 0x80 to 0xEF are the vendor's own codes, shared with vendor
// commands, and are read as an answer only where one is awaited.
constexpr bool is_error_rtn(uint8_t code) { return code >= 0x01 && code <= 0x06; }
constexpr bool is_vendor_code(uint8_t code) { return code >= 0x80 && code <= 0xEF; }

}  // namespace

bool RoundJudge::is_answer(uint8_t adr, uint8_t cid1, uint8_t code) const {
    if (code == 0 || is_error_rtn(code)) return true;
    // A vendor code from the plant that was just asked, under the CID1 asked,
    // answers the command, unless it is itself a command that the plant has
    // answered before (the master moved on).
    return is_vendor_code(code) && pending_.waiting && ours(adr) && cid1 == pending_.cid1 &&
           !answered_.count(pair(cid1, code));
}

void RoundJudge::give_up_pending() {
    if (pending_.waiting) unanswered_.insert(pair(pending_.cid1, pending_.cid2));
    pending_.waiting = false;
}

void RoundJudge::on_frame(const uint8_t* frame, size_t length) {
    if (length < smd::kHeaderBytes) return;
    const uint8_t adr = frame[1], cid1 = frame[2], code = frame[3];
    if (is_answer(adr, cid1, code)) {
        // A response of another plant answers nothing of ours.
        if (pending_.waiting && ours(adr) && cid1 == pending_.cid1) {
            answered_.insert(pair(pending_.cid1, pending_.cid2));
            pending_.waiting = false;
        }
        return;
    }
    // A command: whatever was awaited got no response.
    give_up_pending();
    if (!ours(adr)) return;
    pending_.waiting = true;
    pending_.cid1 = cid1;
    pending_.cid2 = code;
}

void RoundJudge::on_frame_error() {
    ++frame_errors_;
    // The broken frame may have been the response: the command is no longer
    // awaited, and the frame error already marks the round.
    pending_.waiting = false;
}

RoundQuality RoundJudge::peek() const {
    RoundQuality q;
    q.frame_errors = frame_errors_;
    for (uint16_t p : unanswered_)
        if (answered_.count(p)) ++q.unanswered_commands;
    return q;
}

RoundQuality RoundJudge::close_round() {
    give_up_pending();
    const RoundQuality q = peek();
    unanswered_.clear();
    frame_errors_ = 0;
    return q;
}

bool RoundJudge::answered_before(uint8_t cid1, uint8_t cid2) const {
    return answered_.count(pair(cid1, cid2)) != 0;
}
