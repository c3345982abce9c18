#pragma once
// Everything the subagent serves, as one sorted list of (OID, value) built
// from one copy of the device state snapshot: ENTITY-MIB's entPhysicalTable,
// ENTITY-SENSOR-MIB's entPhySensorTable and the gateway's own module (its
// scalars, the device table, the active alarm table, the battery table). GET
// looks an OID up, GETNEXT takes the first one after it. No net-snmp type appears here, so the
// view is built and checked without an agent.

#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/smdgw/core/battery_monitor.h"
#include "tools/smdgw/core/device_state.h"
#include "tools/smdgw/snmp/snmp_options.h"

namespace smdgw::snmp {

struct MibValue {
    enum class Type : uint8_t { Integer, Unsigned, Counter64, TimeTicks, Octets, ObjectId };
    Type type = Type::Integer;
    int64_t number = 0;  // Integer, Unsigned (Unsigned32, Gauge32), TimeTicks
    uint64_t counter = 0;
    std::string octets;
    Oid oid;

    static MibValue integer(int64_t v);
    static MibValue unsigned32(uint64_t v);  // wraps past 4294967295
    static MibValue counter64(uint64_t v);
    static MibValue ticks(uint32_t v);
    static MibValue text(std::string s);
    static MibValue object_id(Oid o);
};

struct MibVar {
    Oid name;
    MibValue value;
};

// What the configuration says about a device beyond its state.
struct DeviceInfo {
    std::string name;
    int32_t address = -1;  // -1: none configured
    std::string role = "listen";
    // How old its sensors' values may be and still read ok: the device's
    // staleness bound ("stale_after_s").
    double sensor_max_age_s = 120.0;
};

// The numbers of the alarm table's rows, given when an alarm is first seen
// active and kept while it is; one owner (the agent thread).
class AlarmRows {
   public:
    uint32_t row(const std::string& device, const AlarmKey& key);
    void release(const std::string& device, const AlarmKey& key);
    size_t size() const { return rows_.size(); }

   private:
    std::map<std::pair<std::string, AlarmKey>, uint32_t> rows_;
    uint32_t next_ = 1;
};

// What the view needs besides the devices.
struct GatewayFacts {
    std::string version;
    uint64_t last_sequence = 0;
    unsigned heartbeat_s = 0;
    std::time_t now = 0;          // Unix seconds
    uint32_t uptime_ticks = 0;    // the subagent's uptime now, in hundredths
};

// DateAndTime of a Unix time in local time with its offset (11 octets); 8
// zero octets for 0.
std::string date_and_time(std::time_t t);

// The alarm objects a notification carries (the table's columns of row
// `row`), in the module's order, without the sequence number.
// reason: smdgwAlarmReason ("flapping", "stable", "not reported" or empty).
std::vector<MibVar> alarm_vars(const Oid& root, uint32_t row, const std::string& device,
                               const AlarmKey& key, const AlarmState& state,
                               const std::string& reason);
// smdgwDeviceName, smdgwDeviceState, smdgwDeviceLastRound of device `position`.
std::vector<MibVar> device_state_vars(const Oid& root, uint32_t position, const DeviceState& d);
// smdgwNotificationSequence.0 with a number.
MibVar sequence_var(const Oid& root, uint64_t sequence);
// smdgwAlarmsActive.0.
MibVar alarms_active_var(const Oid& root, uint64_t active);
// The battery table's columns of device `position`: its state, charge (whole
// percent) and times (whole seconds), -1 for what the estimate does not know.
std::vector<MibVar> battery_vars(const Oid& root, uint32_t position, const BatteryReading& r);

class MibView {
   public:
    MibView() = default;
    // batteries: the battery estimate of each device of `states`, in its
    // order (none for a device without a battery).
    MibView(const Oid& root, const std::vector<DeviceInfo>& devices,
            const std::vector<DeviceState>& states, AlarmRows& rows, const GatewayFacts& facts,
            const std::vector<std::optional<BatteryView>>& batteries = {});

    // The value at exactly this OID, or null.
    const MibVar* get(const Oid& name) const;
    // The first value after this OID (at it too when inclusive), or null.
    const MibVar* next(const Oid& name, bool inclusive) const;
    const std::vector<MibVar>& vars() const { return vars_; }
    uint64_t alarms_active() const { return alarms_active_; }

   private:
    std::vector<MibVar> vars_;
    uint64_t alarms_active_ = 0;
};

}  // namespace smdgw::snmp
