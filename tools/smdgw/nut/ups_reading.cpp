#include "tools/smdgw/nut/ups_reading.h"

#include <cstring>

#include "host/alarm_english.h"
#include "tools/smdgw/core/shown_state.h"

namespace smdgw::nut {

UpsData ups_data(const DeviceState& d) {
    switch (d.data_state) {
        case DataState::Live:
            return UpsData::Current;
        case DataState::Never:
            return UpsData::NotConnected;
        case DataState::NoPort:
            // A line that never brought a round is no driver at all.
            return d.last_live_time || d.has_record() ? UpsData::Stale : UpsData::NotConnected;
        case DataState::Stale:
        case DataState::Restored:
            break;
    }
    return UpsData::Stale;
}

UpsReading read_ups(const DeviceState& d, std::optional<BatteryView> battery,
                    const std::optional<BatteryConfig>& battery_config,
                    const UpsIdentity& identity, const std::string& serial) {
    UpsReading r;
    r.data = ups_data(d);
    const ShownState shown = shown_state(d);
    if (shown.has_record()) {
        r.has_record = true;
        std::memcpy(&r.record, shown.record->data(), sizeof r.record);
        r.ac = shown.shows(smd::Section::Ac);
        r.dc = shown.shows(smd::Section::Dc);
    }
    r.battery = std::move(battery);
    r.battery_config = battery_config;
    r.identity = identity;
    r.serial = serial;
    for (const auto& [key, alarm] : d.alarms) {
        if (!alarm.active) continue;
        std::string english = smd::alarm_english(key.alarm_id, key.key, alarm.message);
        // An alarm nobody knows is still an alarm: its ID says which.
        r.alarms.push_back(english.empty() ? "alarm " + key.alarm_id : english);
    }
    return r;
}

}  // namespace smdgw::nut
