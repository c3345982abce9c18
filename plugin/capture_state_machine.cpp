// Following the line: which response comes next, opening and closing rounds.

#include <algorithm>
#include <cstring>
#include <mutex>

#include "plugin/capture_commands.h"
#include "plugin/veltra_quelm_k418t_419.h"
#include "record/record_dump.h"

namespace {

constexpr int kOpenRound = 1;
constexpr int kCloseRound = 12;
constexpr int kUnknownCommand = 13;

constexpr size_t kInfoOffset = 6;

}  // namespace

int Veltra_Quelm_K418T_419::RefreshStatus() {
    std::lock_guard<std::recursive_mutex> calls(call_guard_);
    refresh_status_ = 0;
    return 1;
}

int Veltra_Quelm_K418T_419::process_error() {
    expected_response_ = 0;
    return 1;
}

int Veltra_Quelm_K418T_419::command_for(unsigned char cid1, unsigned char cid2) const {
    for (const CaptureCommand& c : kCaptureCommands) {
        if (c.cid1 == cid1 && c.cid2 == cid2) return c.code;
    }
    return kUnknownCommand;
}

bool Veltra_Quelm_K418T_419::response_matches(unsigned char cid1) const {
    for (const CaptureCommand& c : kCaptureCommands) {
        if (c.code == expected_response_) return c.response_cid1 == cid1;
    }
    return false;
}

void Veltra_Quelm_K418T_419::start_round() {
    std::memset(static_cast<void*>(&round_data_), 0, sizeof round_data_);
    round_data_.data_id = DataId();
    round_open_ = true;
}

int Veltra_Quelm_K418T_419::finish_round() {
    expected_response_ = 0;
    if (!round_open_) return 1;
    round_open_ = false;
    dump_record(round_data_, "Veltra_Quelm_K418T_419::finish_round round_data_ before cData copy");
    {
        std::lock_guard<std::mutex> record(record_guard_);
        std::memcpy(static_cast<void*>(&cData), &round_data_, sizeof cData);
    }
    RoundDone();
    dump_record(cData, "Veltra_Quelm_K418T_419::finish_round cData before return");
    return 0;
}

int Veltra_Quelm_K418T_419::process_payload() {
    std::lock_guard<std::recursive_mutex> calls(call_guard_);
    if (frame_ == nullptr || frame_len_ < kInfoOffset) return 1;
    const unsigned char cid1 = frame_[2];
    const unsigned char cid2_or_rtn = frame_[3];
    // LENID counts ASCII characters; the decoder never gets more INFO than the frame holds.
    const unsigned lenid =
        static_cast<unsigned>(frame_[4]) | (static_cast<unsigned>(frame_[5]) << 8);
    const size_t info_bytes = frame_len_ - kInfoOffset;
    const int length = static_cast<int>(std::min<size_t>(lenid >> 1, info_bytes));
    const unsigned char* info = frame_ + kInfoOffset;

    if (cid2_or_rtn != 0) {
        // A command, or a response with an error return code, which replaces the expectation.
        expected_response_ = command_for(cid1, cid2_or_rtn);
        if (expected_response_ == kOpenRound) start_round();
        if (!round_open_) expected_response_ = 0;
        return 1;
    }
    if (!round_open_ || !response_matches(cid1)) return 1;

    int result = length;
    switch (expected_response_) {
        case 1:
            result = parse42_44_capture(info, length);
            break;
        case 2:
            result = parse40_41_capture(info, length);
            break;
        case 3:
            result = parse40_44_capture(info, length);
            break;
        case 6:
            result = parse41_41_capture(info, length);
            break;
        case 7:
            result = parse41_43_capture(info, length);
            break;
        case 8:
            result = parse41_44_capture(info, length);
            break;
        case 9:
            result = parse42_41_capture(info, length);
            break;
        case kCloseRound:
            return finish_round();
        default:
            break;  // accepted without decoding
    }
    // A rejected payload keeps the expectation for a later response to the same command.
    if (result >= 0) expected_response_ = 0;
    return 1;
}
