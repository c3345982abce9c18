// The plug-in's exported entry.

#include <memory>
#include <vector>

#include "plugin/provider.h"

extern "C" __attribute__((visibility("default"))) ProviderList get_providers() {
    ProviderList out;
    out.push_back(
        std::static_pointer_cast<Provider>(std::make_shared<Veltra_Quelm_K418T_419Provider>()));
    return out;
}
