// Fixed power-system alarm rules of threshold modes 1 and 2.

#include "pmbuspower/pmbuspower_419.h"

template <class DataT, uint32_t DataID>
void pmbuspower_419<DataT, DataID>::RunCheckThreshold() {}
