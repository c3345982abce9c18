#include "plugin/provider.h"

#include "plugin/veltra_quelm_k418t_419.h"

Veltra_Quelm_K418T_419Provider::~Veltra_Quelm_K418T_419Provider() = default;

SMDSPDevice* Veltra_Quelm_K418T_419Provider::create() const { return new Veltra_Quelm_K418T_419(); }
