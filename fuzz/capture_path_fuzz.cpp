// The whole capture path: bytes from the line into a capture driver's host
// `process`, across many rounds, with the alarm rules of one threshold mode
// active. The input is either raw line bytes or a list of frames that are
// encoded with valid checksums, so mutations reach the decoders and rules.
//
// Input: byte 0 selects the mode (1, 2, 3 or 5) and the form (bit 7: frames);
// raw form: the line bytes, fed in chunks of 1 to 64 bytes;
// frame form: repeated [CID1][CID2 or RTN][INFO length, 2 bytes LE][INFO bytes].

#include <memory>
#include <string>

#include "fuzz/fuzz_support.h"
#include "host/frame_codec.h"
#include "plugin/veltra_quelm_k418t_419.h"

namespace {

constexpr int kModes[] = {1, 2, 3, 5};

void feed(Veltra_Quelm_K418T_419& drv, const std::vector<uint8_t>& bytes) {
    auto copy = fuzzsupport::exact_copy(bytes);
    drv.process(copy.get(), static_cast<unsigned>(bytes.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Input in(data, size);
    const uint8_t form = in.byte();
    const Json::Value entry = fuzzsupport::device_entry(kModes[form & 3]);
    Veltra_Quelm_K418T_419 drv;
    drv.Init(std::weak_ptr<SMDController>(), 0, entry);
    drv.InitSetting(entry);

    if (form & 0x80) {
        while (in.left() >= 3) {
            const uint8_t cid1 = in.byte();
            const uint8_t cid2 = in.byte();
            const std::vector<uint8_t> info = in.take(in.u16() & 0x7FF);
            const std::string wire =
                smd::encode_frame(0x21, 1, cid1, cid2, info.data(), info.size());
            feed(drv, std::vector<uint8_t>(wire.begin(), wire.end()));
        }
    } else {
        fuzzsupport::for_each_chunk(in.rest(), form,
                                    [&](const std::vector<uint8_t>& chunk) { feed(drv, chunk); });
    }
    // The host's other calls on whatever the rounds left behind.
    drv.RefreshStatus();
    drv.Reset();
    for (const char* key : {"out_v", "ac", "ac1", "ac2"}) {
        try {
            drv.Get_Value(0, key);
        } catch (const std::out_of_range&) {
        }
    }
    return 0;
}
