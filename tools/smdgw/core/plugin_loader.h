#pragma once
// Loading the driver plug-in with dlopen and finding its device provider.

#include <memory>
#include <string>

#include "host/provider.h"

namespace smdgw {

struct LoadedPlugin {
    std::string path;
    ProviderList providers;                                // owned as the plug-in hands them over
    const SMDSPDeviceProvider* device_provider = nullptr;  // the first device provider
    // From the optional second entry "get_polling_providers": creates the
    // drivers of devices polled as master; null when the plug-in has none.
    ProviderList polling_providers;
    const SMDSPDeviceProvider* polling_provider = nullptr;
    std::string version;  // from veltra_plugin_version, or "unknown"
};

// The plug-in next to the executable (build folder) or in ../lib/smdgw
// (installed); empty when neither exists.
std::string default_plugin_path();
// Throws std::runtime_error naming the path and the loader's message.
LoadedPlugin load_plugin(const std::string& path);

}  // namespace smdgw
