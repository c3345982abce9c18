// Threshold configuration: mode, INI threshold files and "thresholdSetting".

#include "datadevice/veltra_data_device.h"

template <class DataT, class ProtocolT, uint32_t DataID>
int VeltraDataDevice<DataT, ProtocolT, DataID>::InitSetting(const Json::Value& entry) {
    cData.data_id = this->DataId();
    return ProtocolT::InitSetting(entry);
}

template <class DataT, class ProtocolT, uint32_t DataID>
void VeltraDataDevice<DataT, ProtocolT, DataID>::ParseThresholdSet(
    const Json::Value& entry, const std::string& signal_name, const std::string& id,
    const char* value_key, const char* recover_key, const char* level_key, const char* suffix,
    ThresholdMap& table) {
    (void)entry;
    (void)signal_name;
    (void)id;
    (void)value_key;
    (void)recover_key;
    (void)level_key;
    (void)suffix;
    (void)table;
}
