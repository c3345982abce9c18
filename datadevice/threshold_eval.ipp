// Threshold evaluation against the data snapshot: the [AI] table (host-side
// limits), limit tables with hysteresis, and analog reports.

#include <boost/lexical_cast.hpp>

#include "datadevice/veltra_data_device.h"

namespace veltra::threshold_eval {

// The snapshot member named key, or nullptr (also for a snapshot that is not
// an object). Never inserts into the snapshot.
inline const Json::Value* snapshot_member(const Json::Value& snapshot, const std::string& key) {
    if (!snapshot.isObject()) return nullptr;
    return snapshot.find(key.data(), key.data() + key.size());
}

// Position 3 and 8 of an analog signal ID turned into its alarm ID.
constexpr size_t kAlarmKindPos = 3;
constexpr size_t kAlarmSuffixPos = 8;

}  // namespace veltra::threshold_eval

template <class DataT, class ProtocolT, uint32_t DataID>
void VeltraDataDevice<DataT, ProtocolT, DataID>::RunCheckThreshold() {}

template <class DataT, class ProtocolT, uint32_t DataID>
void VeltraDataDevice<DataT, ProtocolT, DataID>::CheckAiMap() {
    for (const auto& kv : ai_map_) {
        const std::string& signal_id = kv.second.first;
        // Too short to carry an alarm ID.
        if (signal_id.size() <= veltra::threshold_eval::kAlarmSuffixPos) continue;
        std::string alarm_id = signal_id;
        alarm_id[veltra::threshold_eval::kAlarmKindPos] = '6';
        alarm_id[veltra::threshold_eval::kAlarmSuffixPos] = '1';
        const Json::Value* member = veltra::threshold_eval::snapshot_member(json_data_, kv.first);
        if (member == nullptr || member->isNull()) continue;
        const float value = member->asFloat();
        this->CheckThreshold(alarm_id, kv.second.second, value, 1);
        CheckAOReport(alarm_id, signal_id, value);
    }
}

template <class DataT, class ProtocolT, uint32_t DataID>
int VeltraDataDevice<DataT, ProtocolT, DataID>::CheckSignalThresholdMap(ThresholdMap& table,
                                                                        bool upper) {
    int active_count = 0;
    for (auto& kv : table) {
        const Json::Value* member = veltra::threshold_eval::snapshot_member(json_data_, kv.first);
        if (member == nullptr || !member->isNumeric()) continue;
        const float v = member->asFloat();
        const std::string& alarm_id = std::get<0>(kv.second);
        const float threshold = std::get<1>(kv.second);
        const float recover = std::get<2>(kv.second);
        bool& active = std::get<3>(kv.second);
        const int level = std::get<4>(kv.second);
        if (active) {
            if (upper ? recover >= v : recover <= v) active = false;
        } else {
            if (upper ? threshold <= v : threshold >= v) active = true;
        }
        const std::string value_text = boost::lexical_cast<std::string>(v);
        std::string message;
        if (active) {
            ++active_count;
            message = "当前值" + value_text + (upper ? "高于阈值:" : "低于阈值:") +
                      boost::lexical_cast<std::string>(threshold);
        }
        this->CheckThresholdBool(level, kv.first, alarm_id, value_text, message, active, 1);
    }
    return active_count;
}

template <class DataT, class ProtocolT, uint32_t DataID>
bool VeltraDataDevice<DataT, ProtocolT, DataID>::CheckAOReport(const std::string& template_id,
                                                               const std::string& analog_id,
                                                               float value) {
    auto it = this->bao_map_.find(analog_id);
    if (it == this->bao_map_.end()) {
        const auto tpl = this->bao_map_.find(template_id);
        if (tpl == this->bao_map_.end()) return false;
        it = this->bao_map_.emplace(analog_id, tpl->second).first;
    }
    typename ProtocolT::BAOSetting& s = it->second;
    const std::time_t now = this->Clock().unix_time();
    const float now_f = static_cast<float>(now);
    const bool by_change = s.change_enabled && (value > s.last_value + s.change_delta ||
                                                value < s.last_value - s.change_delta);
    const bool by_percent =
        s.percent_enabled && (value > s.last_value * (s.percent + 100.0f) / 100.0f ||
                              value < s.last_value * (100.0f - s.percent) / 100.0f);
    const bool by_period =
        s.period_enabled && now_f > static_cast<float>(s.last_time) + s.period_minutes * 60.0f;
    if (!by_change && !by_percent && !by_period) return false;
    s.last_value = value;
    s.last_time = static_cast<uint32_t>(now);
    ProtocolT::CheckAOReport(analog_id, value);
    return true;
}
