// The family's own poll sequence, when it is the master on the line: one
// command per step, each response decoded straight into the live record.

#include <cstdio>
#include <mutex>

#include "datadevice/driver_log.h"
#include "pmbuspower/pmbuspower_419.h"
#include "pmbuspower/poll_cursor.h"
#include "pmbuspower/poll_steps.h"
#include "pmbuspower/poll_values.h"

namespace pmbus_poll {

// The INFO bytes of the frame being handled. The count comes from LENID and
// is bounded by the bytes the frame really holds.
inline PollSpan frame_info(const unsigned char* frame, size_t frame_len) {
    if (!frame || frame_len < 6) return PollSpan();
    const unsigned lenid = static_cast<unsigned>(frame[4] | frame[5] << 8);
    const size_t held = frame_len - 6;
    const size_t count = (lenid >> 1) < held ? (lenid >> 1) : held;
    return PollSpan(frame + 6, static_cast<int>(count));
}

// Bus voltage test on the bytes after DATAFLAG: with a voltage there, no
// panel-count byte precedes the panels. False when the bytes are missing.
inline bool dc_voltage_first(const PollSpan& info, bool use_float, bool& voltage_first) {
    double v = 0.0;
    if (use_float) {
        Raw4 raw{};
        if (!info.bytes_at(1, raw)) return false;
        const float f = wire_float(raw);
        veltra::LogLine() << "test dc_v:" << f;
        v = f;
    } else {
        Raw2 raw{};
        if (!info.bytes_at(1, raw)) return false;
        v = wire_u16(raw) / 100.0;
    }
    voltage_first = v > 40.0 && v < 60.0;
    return true;
}

}  // namespace pmbus_poll

template <class DataT, uint32_t DataID>
void pmbuspower_419<DataT, DataID>::send_poll_step(int step) {
    const pmbus_poll::PollStep* s = pmbus_poll::find_poll_step(step);
    if (!s) return;
    this->poll_step_ = step;
    const pmbus_poll::PollCommand c = pmbus_poll::poll_command(
        *s, pmbus_poll::PollOptions{use_float_, cg, no_40_arg, no_42_arg, this->protocol_ver_});
    if (c.has_info)
        this->write_pmbus_cmd(c.cid1, c.cid2, &c.info, 1);
    else
        this->write_pmbus_cmd(c.cid1, c.cid2);
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::RefreshStatus() {
    std::lock_guard<std::recursive_mutex> calls(this->call_guard_);
    if (SMDSPDevice::RefreshStatus() == 0) return 0;
    // A device that never completed a round has no last-round time to wait for.
    if (!this->last_time_.is_special() &&
        (this->Clock().local_time() - this->last_time_).total_seconds() < 2) {
        this->refresh_status_ = 10;
        return 0;
    }
    send_poll_step(has_ac ? pmbus_poll::kStepAcAnalog : pmbus_poll::kStepRcAnalog);
    return 1;
}

template <class DataT, uint32_t DataID>
void pmbuspower_419<DataT, DataID>::complete_poll_round() {
    this->RoundDone();
    this->poll_step_ = pmbus_poll::kStepRoundDone;
    this->Reset();
}

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::process_payload() {
    using namespace pmbus_poll;
    std::lock_guard<std::recursive_mutex> calls(this->call_guard_);
    // The decoders write straight into the live record; the round's
    // completion takes the guard itself.
    std::unique_lock<std::mutex> record(this->record_guard_);
    const PollSpan info = frame_info(this->frame_, this->frame_len_);
    const int length = info.length();
    const int k = cg == 0xFF ? 2 : 1;  // bytes before the AC data
    const PollSpan ac = info.from(k);

    switch (this->poll_step_) {
        case kStepAcAnalog: {
            const int r = use_float_ ? parse40_41(ac.data(), ac.length())
                                     : parse40_42(ac.data(), ac.length());
            if (r == -1) return 1;  // rests until the next RefreshStatus
            send_poll_step(kStepAcStates);
            return 1;
        }
        case kStepAcStates:
            parse40_43(ac.data(), ac.length());
            send_poll_step(kStepAcAlarms);
            return 1;
        case kStepAcAlarms:
            parse40_44(ac.data(), ac.length());
            send_poll_step(kStepRcAnalog);
            return 1;
        case kStepRcAnalog: {
            info.byte_at(0, data_flag_);
            const int r =
                use_float_ ? parse41_41(info.data(), length) : parse41_42(info.data(), length);
            std::printf("41_43 %d vs %d\n", length, r);
            send_poll_step(kStepRcStates);
            return 1;
        }
        case kStepRcStates:
            parse41_43(info.data(), length);
            send_poll_step(kStepRcAlarms);
            return 1;
        case kStepRcAlarms:
            parse41_44(info.data(), length);
            if (!has_dc) {
                record.unlock();
                complete_poll_round();
                return 0;
            }
            send_poll_step(kStepDcAnalog);
            return 1;
        case kStepDcAnalog:
            poll_dc_analog(info);
            send_poll_step(kStepDcAlarms);
            return 1;
        case kStepDcAlarms:
            poll_dc_alarms(info);
            record.unlock();
            complete_poll_round();
            return 0;
        default:
            // The reply to a control command, or a frame after the round.
            io_result_ = 1;
            return 0;
    }
}

template <class DataT, uint32_t DataID>
void pmbuspower_419<DataT, DataID>::poll_dc_analog(const pmbus_poll::PollSpan& info) {
    bool voltage_first = false;
    // Settled by the first response that holds the bytes to decide on.
    if (no_dc_number == -1 && pmbus_poll::dc_voltage_first(info, use_float_, voltage_first))
        no_dc_number = voltage_first ? 1 : 2;
    veltra::LogLine() << "no dc number is " << no_dc_number;
    if (no_dc_number == 1) {
        const pmbus_poll::PollSpan panel = info.from(1);
        if (use_float_)
            parse42_41(panel.data(), panel.length());
        else
            parse42_42(panel.data(), panel.length());
        return;
    }
    uint8_t count = 0;
    if (info.byte_at(1, count)) dc_number = count;
    veltra::LogLine() << "pmbuspower_419 PMBUSPOWER_42_41 dc_number:" << dc_number;
    const pmbus_poll::PollSpan panels = info.from(2);
    const int r = use_float_ ? parse42_41(panels.data(), panels.length())
                             : parse42_42(panels.data(), panels.length());
    // Panel 2 starts where panel 1 ended; without a complete panel 1 there is no such place.
    if (dc_number > 1 && r >= 0 && r <= panels.length()) {
        const pmbus_poll::PollSpan second = panels.from(r);
        if (use_float_)
            parse42_41_2(second.data(), second.length());
        else
            parse42_42_2(second.data(), second.length());
    }
}

template <class DataT, uint32_t DataID>
void pmbuspower_419<DataT, DataID>::poll_dc_alarms(const pmbus_poll::PollSpan& info) {
    if (no_dc_number == 1) {
        const pmbus_poll::PollSpan panel = info.from(1);
        parse42_44(panel.data(), panel.length());
        return;
    }
    uint8_t count = 0;
    if (info.byte_at(1, count)) dc_number = count;
    veltra::LogLine() << "pmbuspower_419 PMBUSPOWER_42_44 dc_number:" << dc_number;
    const pmbus_poll::PollSpan panels = info.from(2);
    const int r = parse42_44(panels.data(), panels.length());
    if (dc_number > 1 && r >= 0 && r <= panels.length()) {
        const pmbus_poll::PollSpan second = panels.from(r);
        parse42_44_2(second.data(), second.length());
    }
}
