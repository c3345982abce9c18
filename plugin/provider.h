#pragma once
// The plug-in's provider: creates capture drivers for the gateway.

#include "host/provider.h"

class Veltra_Quelm_K418T_419Provider : public SMDSPDeviceProvider {
   public:
    ~Veltra_Quelm_K418T_419Provider() override;
    SMDSPDevice* create() const override;
};
