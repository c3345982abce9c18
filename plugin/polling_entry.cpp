// The plug-in's second exported entry, beside get_providers: the provider of
// polling drivers. A gateway that knows nothing of it loads the plug-in as
// before; smdgw looks it up for devices with "role": "master".

#include <memory>
#include <vector>

#include "plugin/polling_provider.h"

extern "C" __attribute__((visibility("default"))) ProviderList get_polling_providers() {
    ProviderList out;
    out.push_back(std::static_pointer_cast<Provider>(
        std::make_shared<Veltra_Quelm_K418T_419PollingProvider>()));
    return out;
}
