// The host's calls that carry outside bytes: LoadFromCache with arbitrary
// bytes, and DeviceIoControl with arbitrary codes, requests and output sizes
// on the capture driver and on the family's polling models.
//
// Input: byte 0 bit 0 clear: the rest is the cached record. Set: bits 1-2
// pick the device type, bits 3-4 the code (300, 310, 320 or the two bytes
// that follow), then a signed 16-bit output size; the rest is the request.

#include <memory>
#include <string>

#include "fuzz/fuzz_support.h"
#include "plugin/veltra_quelm_k418t_419.h"

namespace {

using Family = pmbuspower_419<veltra_quelm_k418t_419_Data_t, 5535>;

class ModelDriver : public Family {
   public:
    void set_device_type(const std::string& type) { device_type_ = type; }
};

int control(VDeviceInterface& drv, fuzzsupport::Input& in, uint8_t form) {
    static constexpr int kCodes[] = {300, 310, 320};
    const int code =
        ((form >> 3) & 3) < 3 ? kCodes[(form >> 3) & 3] : static_cast<int16_t>(in.u16());
    const int output_size = static_cast<int16_t>(in.u16());
    const std::vector<uint8_t> request = in.rest();
    auto req = fuzzsupport::exact_copy(request);
    std::vector<uint8_t> out(output_size > 0 ? static_cast<size_t>(output_size) : 0);
    auto out_buf = fuzzsupport::exact_copy(out);
    int output_length = -7;
    const int r = drv.DeviceIoControl(code, request.empty() ? nullptr : req.get(),
                                      static_cast<int>(request.size()), out_buf.get(), output_size,
                                      output_length);
    // The driver only ever reports a whole 32-bit result, and only into room for it.
    if (output_length != -7 && output_length != 0 && output_length != 4) __builtin_trap();
    if (output_length == 4 && output_size < 4) __builtin_trap();
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Input in(data, size);
    const uint8_t form = in.byte();
    const Json::Value entry = fuzzsupport::device_entry(5);
    if (!(form & 1)) {
        Veltra_Quelm_K418T_419 drv;
        drv.Init(std::weak_ptr<SMDController>(), 0, entry);
        drv.InitSetting(entry);
        const std::vector<uint8_t> bytes = in.rest();
        auto buf = fuzzsupport::exact_copy(bytes);
        const int r =
            drv.LoadFromCache(bytes.empty() ? nullptr : buf.get(), static_cast<int>(bytes.size()));
        if (r != (bytes.size() == sizeof drv.cData ? 1 : 0)) __builtin_trap();
        return 0;
    }
    static const char* const kModels[] = {"prn37_419", "w604j_419", "r48_419"};
    const unsigned model = (form >> 1) & 3;
    if (model == 3) {
        Veltra_Quelm_K418T_419 drv;
        drv.Init(std::weak_ptr<SMDController>(), 0, entry);
        control(drv, in, form);
    } else {
        ModelDriver drv;
        drv.set_device_type(kModels[model]);
        drv.Init(std::weak_ptr<SMDController>(), 0, entry);
        control(drv, in, form);
    }
    return 0;
}
