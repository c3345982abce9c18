// Alarm rules of the capture driver: AC status bytes and rectifier alarm
// bytes of the round buffer, after the family's rules.

#include "plugin/veltra_quelm_k418t_419.h"

void Veltra_Quelm_K418T_419::RunCheckThreshold() { Family::RunCheckThreshold(); }
