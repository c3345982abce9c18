#include "tools/powersim/responder.h"

namespace powersim {

namespace {

// Return code of a response to a command the plant does not support.
constexpr uint8_t kRtnCid2Invalid = 0x04;
constexpr uint8_t kAllGroups = 0xFF;

}  // namespace

bool response_info(const veltra_frames::PlantSnapshot& s, uint8_t cid1, uint8_t cid2,
                   const veltra_frames::Bytes& command_info, veltra_frames::Bytes& out) {
    using namespace veltra_frames;
    const uint16_t code = static_cast<uint16_t>(cid1 << 8 | cid2);
    switch (code) {
        case 0x4041:
            out = info40_41(s);
            break;
        case 0x4044:
            out = info40_44(s);
            break;
        case 0x4043:
            // DATAFLAG, no breaker states, three further states (all normal).
            out = {s.dataflag, 0, 3, 0, 0, 0};
            break;
        case 0x4141:
            out = info41_41(s);
            break;
        case 0x4143:
            out = info41_43(s);
            break;
        case 0x4144:
            out = info41_44(s);
            break;
        case 0x4241:
            out = info42_41(s);
            break;
        case 0x4244:
            out = info42_44(s);
            break;
        case 0xE181:
        case 0xE1F7:
        case 0xE190:
            out = {s.dataflag};
            break;
        default:
            return false;
    }
    // Asked for all groups, the AC responses carry the group byte after
    // DATAFLAG.
    if (cid1 == 0x40 && command_info.size() == 1 && command_info[0] == kAllGroups && !out.empty())
        out.insert(out.begin() + 1, kAllGroups);
    return true;
}

std::string Responder::feed(const unsigned char* data, size_t n) {
    out_.clear();
    decoder_.feed(data, n);
    return out_;
}

void Responder::on_frame(const uint8_t* frame, size_t length) {
    const uint8_t adr = frame[1];
    const uint8_t cid1 = frame[2];
    const uint8_t cid2 = frame[3];
    if (!plants_.has_address(adr)) return;  // another device's traffic
    ++commands_;
    if (first_cid1_ < 0) {
        first_cid1_ = cid1;
        first_cid2_ = cid2;
    }
    if (cid1 == first_cid1_ && cid2 == first_cid2_) {
        plants_.step();
        ++rounds_;
        Json::Value r;
        r["round"] = rounds_;
        r["address"] = adr;
        r["snapshot"] = snapshot_json(plants_.snapshot_for(adr));
        sent_.append(r);
    }
    const veltra_frames::Bytes info(frame + smd::kHeaderBytes, frame + length);
    veltra_frames::Bytes answer;
    const veltra_frames::LineAddress at{frame[0], adr};
    if (response_info(plants_.snapshot_for(adr), cid1, cid2, info, answer))
        out_ += veltra_frames::response_frame(at, cid1, answer);
    else
        out_ += veltra_frames::response_frame(at, cid1, {}, kRtnCid2Invalid);
}

}  // namespace powersim
