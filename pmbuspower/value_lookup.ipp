// Value lookup by key from the live record.

#include "pmbuspower/pmbuspower_419.h"

template <class DataT, uint32_t DataID>
float pmbuspower_419<DataT, DataID>::Get_Value(unsigned index, const std::string& key) const {
    return Base::Get_Value(index, key);
}
