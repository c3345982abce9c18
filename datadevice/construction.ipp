// Construction of the data device: an all-zero live record, threshold mode 1
// and empty tables.

#include "datadevice/veltra_data_device.h"

#include <cstring>

template <class DataT, class ProtocolT, uint32_t DataID>
VeltraDataDevice<DataT, ProtocolT, DataID>::VeltraDataDevice() : b_mode_(1) {
    std::memset(static_cast<void*>(&cData), 0, sizeof cData);
}

template <class DataT, class ProtocolT, uint32_t DataID>
VeltraDataDevice<DataT, ProtocolT, DataID>::~VeltraDataDevice() = default;
