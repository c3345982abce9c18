// Each capture decoder on a buffer of exactly the input's size, into an open
// round. Input: byte 0 selects the decoder (of seven), byte 1 the DC panel
// count a previous response left; the rest is the payload from DATAFLAG on.

#include "fuzz/fuzz_support.h"
#include "plugin/veltra_quelm_k418t_419.h"

namespace {

using Decoder = int (Veltra_Quelm_K418T_419::*)(const unsigned char*, int);
constexpr Decoder kDecoders[] = {
    &Veltra_Quelm_K418T_419::parse40_41_capture, &Veltra_Quelm_K418T_419::parse40_44_capture,
    &Veltra_Quelm_K418T_419::parse41_41_capture, &Veltra_Quelm_K418T_419::parse41_43_capture,
    &Veltra_Quelm_K418T_419::parse41_44_capture, &Veltra_Quelm_K418T_419::parse42_41_capture,
    &Veltra_Quelm_K418T_419::parse42_44_capture,
};
constexpr size_t kDecoderCount = sizeof kDecoders / sizeof kDecoders[0];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Input in(data, size);
    const Decoder decode = kDecoders[in.byte() % kDecoderCount];
    const uint8_t options = in.byte();
    const std::vector<uint8_t> payload = in.rest();
    auto buf = fuzzsupport::exact_copy(payload);

    Veltra_Quelm_K418T_419 drv;
    drv.start_round();
    // The panel count a previous DC response left behind.
    drv.dc_number = options & 3;
    const int length = static_cast<int>(payload.size());
    const int r = (drv.*decode)(buf.get(), length);
    // A decoder never claims more bytes than it was given.
    if (r < -1 || r > length) __builtin_trap();
    // A second payload into the same round, as when a response repeats.
    (drv.*decode)(buf.get(), length);
    return 0;
}
