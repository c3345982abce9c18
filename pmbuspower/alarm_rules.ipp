// Fixed power-system alarm rules of threshold modes 1 and 2.

template <class DataT, uint32_t DataID>
void pmbuspower_419<DataT, DataID>::RunCheckThreshold() {}
