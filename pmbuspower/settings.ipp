// Driver options from "appSetting".

#include "pmbuspower/pmbuspower_419.h"

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::InitSetting(const Json::Value& entry) {
    this->cData.data_id = this->DataId();
    Base::InitSetting(entry);
    return 1;
}
