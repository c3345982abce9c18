#pragma once
// Plug-in providers: the entry function get_providers hands the gateway a list
// of providers, each of which creates driver objects.

#include <memory>
#include <vector>

class SMDSPDevice;

class Provider {
   public:
    virtual ~Provider();
};

class SMDSPDeviceProvider : public Provider {
   public:
    ~SMDSPDeviceProvider() override;
    // A new driver object; the caller owns it and deletes it through the
    // virtual destructor.
    virtual SMDSPDevice* create() const = 0;
};

using ProviderList = std::vector<std::shared_ptr<Provider>>;
// Signature of the exported entry "get_providers" (C linkage).
using GetProvidersFn = ProviderList (*)();
