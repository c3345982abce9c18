#include "tools/smdgw/core/plugin_loader.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <stdexcept>

namespace smdgw {

namespace {

constexpr const char* kPluginFile = "libveltra_quelm_k418t_419.so";

std::string exe_dir() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string p(buf, static_cast<size_t>(n));
    const auto slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

}  // namespace

std::string default_plugin_path() {
    const std::string dir = exe_dir();
    for (const std::string& candidate :
         {dir + "/" + kPluginFile, dir + "/../lib/smdgw/" + kPluginFile,
          dir + "/../lib/x86_64-linux-gnu/smdgw/" + kPluginFile}) {
        if (::access(candidate.c_str(), F_OK) == 0) return candidate;
    }
    return {};
}

namespace {

const SMDSPDeviceProvider* first_device_provider(const ProviderList& list) {
    for (const auto& prov : list)
        if (const auto* dp = dynamic_cast<const SMDSPDeviceProvider*>(prov.get())) return dp;
    return nullptr;
}

}  // namespace

LoadedPlugin load_plugin(const std::string& path) {
    if (path.empty()) throw std::runtime_error("no plug-in found; give one with --plugin PATH");
    // The plug-in stays loaded until the process ends: drivers are deleted
    // before exit, and leak reports keep the plug-in's function names.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) throw std::runtime_error("cannot load plug-in " + path + ": " + ::dlerror());
    void* sym = ::dlsym(handle, "get_providers");
    if (!sym) throw std::runtime_error("plug-in " + path + " has no get_providers entry");
    LoadedPlugin p;
    p.path = path;
    // Plug-ins older than the version entry have none.
    using VersionFn = const char* (*)();
    void* version = ::dlsym(handle, "veltra_plugin_version");
    const char* text = version ? reinterpret_cast<VersionFn>(version)() : nullptr;
    p.version = text ? text : "unknown";
    p.providers = reinterpret_cast<GetProvidersFn>(sym)();
    p.device_provider = first_device_provider(p.providers);
    if (!p.device_provider)
        throw std::runtime_error("plug-in " + path + " provides no device provider");
    if (void* polling = ::dlsym(handle, "get_polling_providers")) {
        p.polling_providers = reinterpret_cast<GetProvidersFn>(polling)();
        p.polling_provider = first_device_provider(p.polling_providers);
    }
    return p;
}

}  // namespace smdgw
