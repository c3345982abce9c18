// Round completion and publication; cached records.

#include "datadevice/veltra_data_device.h"

template <class DataT, class ProtocolT, uint32_t DataID>
void VeltraDataDevice<DataT, ProtocolT, DataID>::RoundDone() {
    this->data_ready_ = true;
    this->last_time_ = this->Clock().local_time();
    this->SendSP(static_cast<int>(DataID), reinterpret_cast<const unsigned char*>(&cData),
                 sizeof cData, false);
    this->SaveDeviceHistory(reinterpret_cast<const unsigned char*>(&cData), sizeof cData);
}

template <class DataT, class ProtocolT, uint32_t DataID>
int VeltraDataDevice<DataT, ProtocolT, DataID>::LoadFromCache(const unsigned char* data,
                                                              int length) {
    (void)data;
    (void)length;
    return 0;
}

template <class DataT, class ProtocolT, uint32_t DataID>
void VeltraDataDevice<DataT, ProtocolT, DataID>::GenJsonData() {}
