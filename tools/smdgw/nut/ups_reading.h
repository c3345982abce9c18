#pragma once
// One device as a UPS at one moment: what every variable is computed from.
// Taken from the device state snapshot through the one reader of shown
// values (core/shown_state.h) and from the battery estimate
// (core/battery_monitor.h), so a client reads what the HTTP API shows.

#include <optional>
#include <string>
#include <vector>

#include "record/veltra_record.h"
#include "tools/smdgw/core/battery_config.h"
#include "tools/smdgw/core/battery_monitor.h"
#include "tools/smdgw/core/device_state.h"
#include "tools/smdgw/core/ups_identity.h"

namespace smdgw::nut {

// What a UPS answers as a whole: its values, or why none.
enum class UpsData {
    Current,       // a live round within the device's "stale_after_s"
    Stale,         // older than that, its port closed, or only restored from the history
    NotConnected,  // no round at all since the start
};

// The answer for a device's data state.
UpsData ups_data(const DeviceState& d);

struct UpsReading {
    UpsData data = UpsData::NotConnected;
    // The shown record, with the sections it shows.
    bool has_record = false;
    veltra_record_t record{};
    bool ac = false, dc = false;
    std::optional<BatteryView> battery;
    std::optional<BatteryConfig> battery_config;
    UpsIdentity identity;
    std::string serial;
    // The English meanings of the alarms shown raised, oldest key first.
    std::vector<std::string> alarms;
};

// The reading of device d; battery: its estimate and "battery" object, if any.
UpsReading read_ups(const DeviceState& d, std::optional<BatteryView> battery,
                    const std::optional<BatteryConfig>& battery_config,
                    const UpsIdentity& identity, const std::string& serial);

}  // namespace smdgw::nut
