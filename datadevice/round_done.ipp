// Round completion: stamp, publish, clear the communication alarm, run the
// alarm rules and thresholds, flush the rule batch and store the record.
// Cached records are completed the same way.

#include <cstring>

#include "datadevice/driver_log.h"
#include "datadevice/veltra_data_device.h"
#include "host/ttime.h"

template <class DataT, class ProtocolT, uint32_t DataID>
void VeltraDataDevice<DataT, ProtocolT, DataID>::RoundDone() {
    std::lock_guard<std::recursive_mutex> calls(call_guard_);
    {
        std::lock_guard<std::mutex> record(record_guard_);
        this->data_ready_ = true;
        this->last_time_ = this->Clock().local_time();
        const ttime stamp = get_ttime(this->last_time_);
        std::memcpy(&cData.update_time, &stamp, sizeof stamp);
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(&cData);
    this->SendSP(static_cast<int>(DataID), bytes, sizeof cData, false);
    this->Reset();
    this->alarm_seq_ = 1;
    this->batch_result_ = 0;
    RunCheckThreshold();
    if (b_mode_ == 1) {
        GenJsonData();
        std::lock_guard<std::mutex> lock(data_mutex_);
        CheckAiMap();
    } else if (b_mode_ == 5) {
        GenJsonData();
        std::lock_guard<std::mutex> lock(data_mutex_);
        CheckSignalThresholdMap(up_map_, true);
        CheckSignalThresholdMap(up2_map_, true);
        CheckSignalThresholdMap(low_map_, false);
        CheckSignalThresholdMap(low2_map_, false);
    }
    veltra::LogLine() << "rvSize is " << static_cast<long long>(this->rule_batch_.size());
    this->batch_result_ |= this->DoBatchCheckThreshold(this->rule_batch_);
    this->SaveDeviceHistory(bytes, sizeof cData);
    this->rule_batch_.clear();
}

template <class DataT, class ProtocolT, uint32_t DataID>
int VeltraDataDevice<DataT, ProtocolT, DataID>::LoadFromCache(const unsigned char* data,
                                                              int length) {
    if (data == nullptr || length != static_cast<int>(sizeof cData)) return 0;
    std::lock_guard<std::recursive_mutex> calls(call_guard_);
    {
        std::lock_guard<std::mutex> record(record_guard_);
        std::memcpy(static_cast<void*>(&cData), data, sizeof cData);
        this->data_ready_ = true;
    }
    RoundDone();
    return 1;
}

template <class DataT, class ProtocolT, uint32_t DataID>
void VeltraDataDevice<DataT, ProtocolT, DataID>::GenJsonData() {}
