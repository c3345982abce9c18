// Threshold evaluation: the [AI] table, limit tables with hysteresis and
// analog reports.

#include "datadevice/veltra_data_device.h"

template <class DataT, class ProtocolT, uint32_t DataID>
void VeltraDataDevice<DataT, ProtocolT, DataID>::RunCheckThreshold() {}

template <class DataT, class ProtocolT, uint32_t DataID>
int VeltraDataDevice<DataT, ProtocolT, DataID>::CheckSignalThresholdMap(ThresholdMap& table,
                                                                        bool upper) {
    (void)table;
    (void)upper;
    return 0;
}

template <class DataT, class ProtocolT, uint32_t DataID>
bool VeltraDataDevice<DataT, ProtocolT, DataID>::CheckAOReport(const std::string& template_id,
                                                               const std::string& analog_id,
                                                               float value) {
    (void)template_id;
    (void)analog_id;
    (void)value;
    return false;
}

template <class DataT, class ProtocolT, uint32_t DataID>
void VeltraDataDevice<DataT, ProtocolT, DataID>::CheckAiMap() {}
