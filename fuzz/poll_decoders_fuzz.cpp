// The family's fourteen polling decoders, each on a buffer of exactly the
// input's size, and the poll sequence fed whole response frames.
//
// Input: byte 0 selects a decoder (0 to 13) or the sequence (14 and up),
// byte 1 the driver options that change the layouts.
// Decoder: the rest is the payload. Sequence: repeated
// [step][RTN][INFO length, 2 bytes LE][INFO bytes], each the response to the step in hand.

#include <boost/date_time/posix_time/posix_time.hpp>
#include <iterator>
#include <memory>
#include <string>

#include "fuzz/fuzz_support.h"
#include "host/frame_codec.h"
#include "host/host_clock.h"
#include "pmbuspower/pmbuspower_419.h"
#include "pmbuspower/poll_steps.h"

namespace {

using Family = pmbuspower_419<veltra_quelm_k418t_419_Data_t, 5535>;

class PollDriver : public Family {
   public:
    using Family::poll_step_;
};

using Decoder = int (Family::*)(const unsigned char*, int);
constexpr Decoder kDecoders[] = {
    &Family::parse42_41, &Family::parse42_41_2, &Family::parse42_42, &Family::parse42_42_2,
    &Family::parse42_44, &Family::parse42_44_2, &Family::parse41_41, &Family::parse41_42,
    &Family::parse41_43, &Family::parse41_44,   &Family::parse40_44, &Family::parse40_43,
    &Family::parse40_41, &Family::parse40_42,
};
constexpr size_t kDecoderCount = sizeof kDecoders / sizeof kDecoders[0];

void apply_options(PollDriver& drv, uint8_t o) {
    drv.use_float_ = o & 1;
    drv.has_ac = o & 2;
    drv.has_dc = o & 4;
    drv.has_tower = o & 8;
    drv.cg = (o & 16) ? 0xFF : 1;
    drv.no_dc_number = (o & 32) ? -1 : (o & 64) ? 1 : 2;
    drv.skip_41_41 = (o & 128) ? 2 : 0;
    drv.dc_i_adjust = o & 3;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Input in(data, size);
    const uint8_t which = in.byte();
    PollDriver drv;
    apply_options(drv, in.byte());

    if (which < kDecoderCount) {
        const std::vector<uint8_t> payload = in.rest();
        auto buf = fuzzsupport::exact_copy(payload);
        const int length = static_cast<int>(payload.size());
        const int r = (drv.*kDecoders[which])(buf.get(), length);
        // Some decoders report a consumed count beyond the payload (their
        // callers check it), but never a negative one other than -1.
        if (r < -1) __builtin_trap();
        return 0;
    }

    const Json::Value entry = fuzzsupport::device_entry(1 + (which & 1) * 4);
    ManualClock clock(boost::posix_time::ptime(boost::gregorian::date(2026, 12, 8)));
    drv.SetClock(&clock);
    drv.Init(std::weak_ptr<SMDController>(), 0, entry);
    drv.AttachPort(std::make_shared<fuzzsupport::NullLine>());
    // The first poll, as the host's timer asks for it once the line has been quiet.
    drv.RefreshStatus();
    clock.advance(3);
    drv.RefreshStatus();
    while (in.left() >= 3) {
        // A step index below 8 moves the sequence there, 8 to 15 stands for a
        // control command's reply; otherwise the sequence keeps its own step.
        const uint8_t s = in.byte();
        if (s < std::size(pmbus_poll::kPollSteps))
            drv.poll_step_ = pmbus_poll::kPollSteps[s].step;
        else if (s < 16)
            drv.poll_step_ = 300;
        const pmbus_poll::PollStep* step = pmbus_poll::find_poll_step(drv.poll_step_);
        const uint8_t rtn = in.byte();
        const std::vector<uint8_t> info = in.take(in.u16() & 0x7FF);
        const std::string wire =
            smd::encode_frame(0x21, 1, step ? step->cid1 : 0x41, rtn, info.data(), info.size());
        auto copy = fuzzsupport::exact_copy(std::vector<uint8_t>(wire.begin(), wire.end()));
        drv.process(copy.get(), static_cast<unsigned>(wire.size()));
    }
    return 0;
}
