// The data snapshot thresholds are evaluated against, filled from the record.

#include "pmbuspower/pmbuspower_419.h"

template <class DataT, uint32_t DataID>
void pmbuspower_419<DataT, DataID>::GenJsonData() {}
