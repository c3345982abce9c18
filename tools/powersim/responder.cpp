#include "tools/powersim/responder.h"

#include <algorithm>

namespace powersim {

namespace {

// Return code of a response to a command the plant does not support.
constexpr uint8_t kRtnCid2Invalid = 0x04;
constexpr uint8_t kFixedPoint = 0x42;

}  // namespace

std::string Responder::feed(const unsigned char* data, size_t n) {
    out_.clear();
    decoder_.feed(data, n);
    return out_;
}

bool Responder::answering(unsigned round_started) {
    const auto now = std::chrono::steady_clock::now();
    if (now < silent_until_) return false;
    const LineFaults& lf = plants_.line_faults();
    if (!silence_done_ && lf.silence_round != 0 && round_started == lf.silence_round) {
        silence_done_ = true;
        const double wall = lf.silence_seconds / (options_.time_scale > 0 ? options_.time_scale : 1);
        silent_until_ = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(wall));
        return false;
    }
    return true;
}

void Responder::on_frame(const uint8_t* frame, size_t length) {
    const uint8_t adr = frame[1];
    const uint8_t cid1 = frame[2];
    const uint8_t cid2 = frame[3];
    if (!plants_.has_address(adr)) return;  // another device's traffic
    ++commands_;
    AddressState& st = addresses_[adr];
    if (st.first_cid1 < 0) {
        st.first_cid1 = cid1;
        st.first_cid2 = cid2;
    }
    unsigned started = 0;
    if (cid1 == st.first_cid1 && cid2 == st.first_cid2) {
        plants_.step_plant(adr);
        started = ++st.rounds;
        rounds_ = std::max(rounds_, st.rounds);
        Json::Value r;
        r["round"] = st.rounds;
        r["address"] = adr;
        const bool fixed = cid2 == kFixedPoint;
        r["encoding"] = fixed ? "fixed" : "float";
        r["snapshot"] = polled_snapshot_json(plants_.snapshot_for(adr), options_.layout, fixed);
        const Json::Value battery = plants_.battery_truth(adr);
        if (!battery.isNull()) r["battery"] = battery;
        sent_.append(r);
    }
    if (!answering(started)) return;
    // A lost command is heard by no one; a muted section is not answered.
    if (plants_.drop_command() || plants_.muted_now(adr, cid1)) return;
    const veltra_frames::Bytes info(frame + smd::kHeaderBytes, frame + length);
    const veltra_frames::LineAddress at{frame[0], adr};
    if (options_.echo) out_ += veltra_frames::command_frame(at, cid1, cid2, info);
    veltra_frames::Bytes answer;
    uint8_t rtn = 0;
    if (is_control_command(cid1, cid2)) {
        Json::Value c;
        c["control"]["cid1"] = cid1;
        c["control"]["cid2"] = cid2;
        c["control"]["info"] = smd::to_hex(info.data(), info.size());
        c["address"] = adr;
        c["after_round"] = st.rounds;
        sent_.append(c);
    } else if (!poll_answer(plants_.snapshot_for(adr), cid1, cid2, info, options_.layout,
                            answer)) {
        rtn = kRtnCid2Invalid;
    }
    if (plants_.drop_response()) return;
    plants_.emit(out_, veltra_frames::response_frame(at, cid1, answer, rtn));
}

}  // namespace powersim
