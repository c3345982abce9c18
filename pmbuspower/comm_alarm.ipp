// Communication alarm: raised when no round has completed for 120 s, cleared
// by every completed round.

#include <mutex>

#include "datadevice/driver_log.h"
#include "pmbuspower/pmbuspower_419.h"
#include "pmbuspower/round_age.h"

namespace veltra::comm_alarm {

// The driver's communication alarms (one).
inline constexpr const char* kCommAlarmIds[] = {"120600180010"};
inline constexpr const char* kCommAlarmText = "设备智能口通信状态告警";
inline constexpr const char* kCommAlarmDescription = "通信异常";
constexpr int64_t kCommAlarmSeconds = 120;

}  // namespace veltra::comm_alarm

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::Reset() {
    std::lock_guard<std::recursive_mutex> calls(this->call_guard_);
    const uint32_t data_id = this->DataId();
    veltra::LogLine() << "pmbuspower_419 data_id:" << data_id << " reset called";
    const int64_t elapsed =
        veltra::seconds_since_round(this->Clock().local_time(), this->last_time_);
    for (const char* id : veltra::comm_alarm::kCommAlarmIds) {
        const int level = this->alarm_level_map_[id];
        if (level == 0) continue;
        const bool lost = elapsed >= veltra::comm_alarm::kCommAlarmSeconds;
        veltra::LogLine() << "data_id:" << data_id
                          << (lost ? " reset from refreshstatus" : " reset from rounddone");
        this->CheckThresholdBool(level, id, id, veltra::comm_alarm::kCommAlarmText,
                                 veltra::comm_alarm::kCommAlarmDescription, lost, 1);
    }
    if (!this->rule_batch_.empty()) {
        this->DoBatchCheckThreshold(this->rule_batch_);
        this->rule_batch_.clear();
    }
    return 1;
}
