#pragma once
// The plug-in's second provider: creates polling drivers, for devices the
// gateway polls as the only master on their line.

#include "host/provider.h"

class Veltra_Quelm_K418T_419PollingProvider : public SMDSPDeviceProvider {
   public:
    ~Veltra_Quelm_K418T_419PollingProvider() override;
    SMDSPDevice* create() const override;
};
