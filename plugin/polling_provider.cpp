#include "plugin/polling_provider.h"

#include "plugin/polling_driver.h"

Veltra_Quelm_K418T_419PollingProvider::~Veltra_Quelm_K418T_419PollingProvider() = default;

SMDSPDevice* Veltra_Quelm_K418T_419PollingProvider::create() const {
    return new Veltra_Quelm_K418T_419_Polling();
}
