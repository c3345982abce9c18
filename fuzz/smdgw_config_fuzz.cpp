// The gateway's configuration loader on arbitrary text, then every device it
// accepts initialised from its entry. A refused configuration is an error
// with a message, never a crash; every accepted device has a unique name.

#include <set>
#include <string>

#include "fuzz/fuzz_support.h"
#include "plugin/veltra_quelm_k418t_419.h"
#include "tools/smdgw/core/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    smdgw::GatewayConfig cfg;
    try {
        cfg = smdgw::parse_config(text, "fuzz.json");
    } catch (const smdgw::ConfigError& e) {
        if (std::string(e.what()).rfind("fuzz.json: ", 0) != 0) __builtin_trap();
        return 0;
    }
    if (cfg.devices.empty()) __builtin_trap();
    std::set<std::string> names;
    for (const smdgw::DeviceConfig& d : cfg.devices)
        if (d.name.empty() || !names.insert(d.name).second) __builtin_trap();
    for (const smdgw::DeviceConfig& d : cfg.devices) {
        Veltra_Quelm_K418T_419 drv;
        try {
            drv.Init(std::weak_ptr<SMDController>(), 0, d.entry);
            drv.InitSetting(d.entry);
        } catch (const std::exception&) {
            // JSON and INI reader errors of initialisation reach the host.
        }
    }
    return 0;
}
