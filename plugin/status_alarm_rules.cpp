#include "plugin/status_alarm_rules.h"

#include <algorithm>
#include <string>

#include "plugin/capture_alarm_tables.h"

namespace {

using capture_rules::StatusAlarm;

template <size_t N>
constexpr bool bytes_within(const StatusAlarm (&rules)[N], size_t size) {
    for (const StatusAlarm& a : rules)
        if (a.byte >= size) return false;
    return true;
}

static_assert(bytes_within(capture_rules::kAcStatusAlarms, veltra_ac_channel_t::p40_44_SIZE()),
              "AC status byte outside p40_44");
static_assert(bytes_within(capture_rules::kRectifierAlarms, veltra_rc_channel_t::P41_44_SIZE()),
              "rectifier alarm byte outside p41_44");

}  // namespace

void check_status_alarms(SMDVDevice& device, const veltra_quelm_k418t_419_Data_t& record,
                         unsigned short& seq) {
    const unsigned inputs = std::min<unsigned>(record.ac.channel_count, kAcChannels);
    for (unsigned i = 0; i < inputs; ++i) {
        const std::string prefix = "第" + std::to_string(i + 1) + "路交流输入-";
        for (const StatusAlarm& a : capture_rules::kAcStatusAlarms) {
            const bool active = record.ac_channels[i].p40_44[a.byte] == a.code;
            device.CheckThresholdBool(a.level, a.key, a.alarm_id, capture_rules::kAcValueText,
                                      prefix + a.message, active, seq);
            ++seq;
        }
    }

    const unsigned modules = std::min<unsigned>(record.channel_count, kRcChannels);
    for (unsigned j = 0; j < modules; ++j) {
        const std::string prefix = "模块" + std::to_string(j + 1);
        for (const StatusAlarm& a : capture_rules::kRectifierAlarms) {
            const bool active = record.channels[j].p41_44[a.byte] == a.code;
            device.CheckThresholdBool(a.level, a.key, a.alarm_id,
                                      capture_rules::kRectifierValueText, prefix + a.message,
                                      active, seq);
            ++seq;
        }
    }
}
