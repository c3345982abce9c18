// The plug-in's exported entry.

#include <memory>
#include <vector>

#include "plugin/provider.h"
#include "smd_source_revision.h"

extern "C" __attribute__((visibility("default"))) ProviderList get_providers() {
    ProviderList out;
    out.push_back(
        std::static_pointer_cast<Provider>(std::make_shared<Veltra_Quelm_K418T_419Provider>()));
    return out;
}

// The plug-in's version and source revision, for the host's --version. An
// addition beside get_providers: hosts that do not know it never call it.
extern "C" __attribute__((visibility("default"))) const char* veltra_plugin_version() {
    return SMD_VERSION " (" SMD_SOURCE_REVISION ")";
}
