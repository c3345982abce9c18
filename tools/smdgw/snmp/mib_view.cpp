#include "tools/smdgw/snmp/mib_view.h"

#include <algorithm>
#include <cmath>

#include "host/alarm_english.h"
#include "tools/smdgw/snmp/entity_columns.h"
#include "tools/smdgw/snmp/mib_module.h"
#include "tools/smdgw/snmp/plant_entities.h"

namespace smdgw::snmp {

namespace {

const Oid kEntPhysicalEntry = {1, 3, 6, 1, 2, 1, 47, 1, 1, 1, 1};
const Oid kEntPhySensorEntry = {1, 3, 6, 1, 2, 1, 99, 1, 1, 1};
// AutonomousType zeroDotZero: no vendor type.
const Oid kZeroDotZero = {0, 0};
// TruthValue.
constexpr int64_t kTrue = 1;
constexpr int64_t kFalse = 2;
// SnmpAdminString holds at most 255 octets.
constexpr size_t kMaxAdminString = 255;

// Cut at 255 octets without splitting a UTF-8 character.
std::string admin_string(std::string s) {
    if (s.size() <= kMaxAdminString) return s;
    size_t n = kMaxAdminString;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    s.resize(n);
    return s;
}

Oid with(const Oid& prefix, std::initializer_list<uint32_t> arcs) {
    Oid o = prefix;
    o.insert(o.end(), arcs);
    return o;
}

// A column's OID for one row: <entry>.<column>.<index>.
Oid column(const Oid& root, const char* name, uint32_t index) {
    Oid o = object_oid(root, name);
    o.push_back(index);
    return o;
}

// sysUpTime of the subagent when a value arrived; 0 before it started or
// for a value never read.
uint32_t value_ticks(const PhysicalEntity& e, const GatewayFacts& facts) {
    if (e.value_time == 0) return 0;
    const int64_t ago = std::max<int64_t>(static_cast<int64_t>(facts.now - e.value_time), 0);
    const int64_t at = static_cast<int64_t>(facts.uptime_ticks) - ago * 100;
    return static_cast<uint32_t>(std::max<int64_t>(at, 0));
}

void add_entity(std::vector<MibVar>& out, const PhysicalEntity& e, const GatewayFacts& facts) {
    const auto col = [&](uint32_t arc, MibValue v) {
        out.push_back({with(kEntPhysicalEntry, {arc, e.index}), std::move(v)});
    };
    col(kPhysDescr, MibValue::text(admin_string(e.descr)));
    col(kPhysVendorType, MibValue::object_id(kZeroDotZero));
    col(kPhysContainedIn, MibValue::integer(e.contained_in));
    col(kPhysClass, MibValue::integer(static_cast<int64_t>(e.cls)));
    col(kPhysParentRelPos, MibValue::integer(e.rel_pos));
    col(kPhysName, MibValue::text(admin_string(e.name)));
    for (const EntityColumn& c : kEntPhysicalColumns) {
        if (c.arc < 8 || c.arc > 15) continue;
        col(c.arc, MibValue::text(c.arc == kPhysSoftwareRev ? e.software_rev
                                  : c.arc == kPhysAlias      ? admin_string(e.path)
                                                             : std::string()));
    }
    col(kPhysIsFru, MibValue::integer(e.fru ? kTrue : kFalse));
    if (!e.sensor) return;
    const SensorTypeSpec& t = sensor_type_spec(e.type);
    const auto sensor = [&](uint32_t arc, MibValue v) {
        out.push_back({with(kEntPhySensorEntry, {arc, e.index}), std::move(v)});
    };
    sensor(kSensorType, MibValue::integer(static_cast<int64_t>(e.type)));
    sensor(kSensorScale, MibValue::integer(kScaleUnits));
    sensor(kSensorPrecision, MibValue::integer(t.precision));
    sensor(kSensorValue, MibValue::integer(e.value));
    sensor(kSensorOperStatus, MibValue::integer(static_cast<int64_t>(e.status)));
    sensor(kSensorUnitsDisplay, MibValue::text(t.units));
    sensor(kSensorValueTimeStamp, MibValue::ticks(value_ticks(e, facts)));
    sensor(kSensorValueUpdateRate, MibValue::unsigned32(0));
}

}  // namespace

MibValue MibValue::integer(int64_t v) { return {Type::Integer, v, 0, {}, {}}; }
MibValue MibValue::unsigned32(uint64_t v) {
    return {Type::Unsigned, static_cast<int64_t>(v & 0xFFFFFFFFu), 0, {}, {}};
}
MibValue MibValue::counter64(uint64_t v) { return {Type::Counter64, 0, v, {}, {}}; }
MibValue MibValue::ticks(uint32_t v) { return {Type::TimeTicks, v, 0, {}, {}}; }
MibValue MibValue::text(std::string s) { return {Type::Octets, 0, 0, std::move(s), {}}; }
MibValue MibValue::object_id(Oid o) { return {Type::ObjectId, 0, 0, {}, std::move(o)}; }

uint32_t AlarmRows::row(const std::string& device, const AlarmKey& key) {
    auto [it, added] = rows_.emplace(std::make_pair(device, key), next_);
    if (added) ++next_;
    return it->second;
}

void AlarmRows::release(const std::string& device, const AlarmKey& key) {
    rows_.erase(std::make_pair(device, key));
}

std::string date_and_time(std::time_t t) {
    if (t == 0) return std::string(8, '\0');
    std::tm tm{};
    if (!localtime_r(&t, &tm)) return std::string(8, '\0');
    const int year = tm.tm_year + 1900;
    const long off = tm.tm_gmtoff;
    const unsigned abs_off = static_cast<unsigned>(off < 0 ? -off : off) % 86400u;
    std::string s(11, '\0');
    s[0] = static_cast<char>((year >> 8) & 0xFF);
    s[1] = static_cast<char>(year & 0xFF);
    s[2] = static_cast<char>(tm.tm_mon + 1);
    s[3] = static_cast<char>(tm.tm_mday);
    s[4] = static_cast<char>(tm.tm_hour);
    s[5] = static_cast<char>(tm.tm_min);
    // A leap second (60) is kept: DateAndTime allows it.
    s[6] = static_cast<char>(tm.tm_sec);
    s[7] = 0;
    s[8] = off < 0 ? '-' : '+';
    s[9] = static_cast<char>(abs_off / 3600u);
    s[10] = static_cast<char>((abs_off % 3600u) / 60u);
    return s;
}

std::vector<MibVar> alarm_vars(const Oid& root, uint32_t row, const std::string& device,
                               const AlarmKey& key, const AlarmState& state,
                               const std::string& reason) {
    std::vector<MibVar> v;
    v.push_back({column(root, "smdgwAlarmEnglish", row),
                 MibValue::text(admin_string(smd::alarm_english(key.alarm_id, key.key, state.message)))});
    v.push_back({column(root, "smdgwAlarmDevice", row), MibValue::text(admin_string(device))});
    v.push_back({column(root, "smdgwAlarmId", row), MibValue::text(admin_string(key.alarm_id))});
    v.push_back({column(root, "smdgwAlarmKey", row), MibValue::text(admin_string(key.key))});
    v.push_back({column(root, "smdgwAlarmSequence", row), MibValue::unsigned32(key.seq)});
    v.push_back({column(root, "smdgwAlarmLevel", row), MibValue::integer(state.level)});
    v.push_back(
        {column(root, "smdgwAlarmMessage", row), MibValue::text(admin_string(state.message))});
    v.push_back({column(root, "smdgwAlarmSince", row), MibValue::text(date_and_time(state.since))});
    v.push_back({column(root, "smdgwAlarmValue", row), MibValue::text(admin_string(state.value))});
    v.push_back({column(root, "smdgwAlarmReason", row), MibValue::text(admin_string(reason))});
    return v;
}

std::vector<MibVar> device_state_vars(const Oid& root, uint32_t position, const DeviceState& d) {
    return {
        {column(root, "smdgwDeviceName", position), MibValue::text(admin_string(d.name))},
        {column(root, "smdgwDeviceState", position),
         MibValue::integer(state_number(d.data_state))},
        {column(root, "smdgwDeviceLastRound", position),
         MibValue::text(date_and_time(d.has_record() ? d.record_unix_time : 0))},
    };
}

MibVar sequence_var(const Oid& root, uint64_t sequence) {
    return {with(object_oid(root, "smdgwNotificationSequence"), {0}),
            MibValue::unsigned32(sequence)};
}

MibVar alarms_active_var(const Oid& root, uint64_t active) {
    return {with(object_oid(root, "smdgwAlarmsActive"), {0}), MibValue::unsigned32(active)};
}

std::vector<MibVar> battery_vars(const Oid& root, uint32_t position, const BatteryReading& r) {
    // -1 for what the estimate does not know (Integer32 ranges of the module).
    const auto known = [](const std::optional<double>& v, double scale, double most) {
        if (!v || !std::isfinite(*v)) return MibValue::integer(-1);
        const double rounded = std::clamp(std::round(*v * scale), 0.0, most);
        return MibValue::integer(static_cast<int64_t>(rounded));
    };
    constexpr double kMaxSeconds = 2147483647.0;
    return {
        {column(root, "smdgwBatteryState", position),
         MibValue::integer(battery_state_number(r.state))},
        {column(root, "smdgwBatteryCharge", position), known(r.charge, 100.0, 100.0)},
        {column(root, "smdgwBatteryRuntime", position), known(r.runtime_s, 1.0, kMaxSeconds)},
        {column(root, "smdgwBatteryRuntimeLow", position),
         known(r.runtime_low_s, 1.0, kMaxSeconds)},
        {column(root, "smdgwBatteryRuntimeHigh", position),
         known(r.runtime_high_s, 1.0, kMaxSeconds)},
    };
}

MibView::MibView(const Oid& root, const std::vector<DeviceInfo>& devices,
                 const std::vector<DeviceState>& states, AlarmRows& rows,
                 const GatewayFacts& facts,
                 const std::vector<std::optional<BatteryView>>& batteries) {
    std::vector<MibVar>& out = vars_;
    std::vector<PhysicalEntity> entities = {gateway_entity(facts.version)};
    for (size_t i = 0; i < states.size(); ++i) {
        const DeviceState& d = states[i];
        const uint32_t position = static_cast<uint32_t>(i + 1);
        const BatteryView* battery =
            i < batteries.size() && batteries[i] ? &*batteries[i] : nullptr;
        const DeviceInfo info = i < devices.size() ? devices[i] : DeviceInfo{d.name, -1, "listen"};
        std::vector<PhysicalEntity> plant =
            plant_entities(d, position, battery, SensorAge{facts.now, info.sensor_max_age_s});
        if (battery) {
            const std::vector<MibVar> b = battery_vars(root, position, battery->reading);
            out.insert(out.end(), b.begin(), b.end());
        }
        entities.insert(entities.end(), plant.begin(), plant.end());

        uint64_t active = 0;
        for (const auto& [key, alarm] : d.alarms) {
            if (!alarm.active) continue;
            ++active;
            const uint32_t row = rows.row(d.name, key);
            const std::vector<MibVar> a =
                alarm_vars(root, row, d.name, key, alarm, alarm.flapping ? "flapping" : "");
            out.insert(out.end(), a.begin(), a.end());
            // Who handles it: in the table only, the notifications keep their objects.
            out.push_back({column(root, "smdgwAlarmAckBy", row),
                           MibValue::text(admin_string(alarm.ack.by))});
            out.push_back({column(root, "smdgwAlarmAckComment", row),
                           MibValue::text(admin_string(alarm.ack.comment))});
            out.push_back({column(root, "smdgwAlarmAckTime", row),
                           MibValue::text(date_and_time(alarm.ack.at))});
        }
        alarms_active_ += active;
        std::vector<MibVar> dev = device_state_vars(root, position, d);
        out.insert(out.end(), dev.begin(), dev.end());
        out.push_back({column(root, "smdgwDeviceAddress", position), MibValue::integer(info.address)});
        out.push_back(
            {column(root, "smdgwDeviceRole", position), MibValue::integer(role_number(info.role))});
        out.push_back({column(root, "smdgwDeviceRounds", position),
                       MibValue::counter64(d.counters.rounds_live)});
        out.push_back({column(root, "smdgwDeviceRoundsDamaged", position),
                       MibValue::counter64(d.counters.rounds_damaged)});
        out.push_back(
            {column(root, "smdgwDeviceAlarmsActive", position), MibValue::unsigned32(active)});
        out.push_back({column(root, "smdgwDevicePhysicalIndex", position),
                       MibValue::integer(static_cast<int64_t>(position) * kPlantStride)});
    }
    for (const PhysicalEntity& e : entities) add_entity(out, e, facts);
    out.push_back(sequence_var(root, facts.last_sequence));
    out.push_back({with(object_oid(root, "smdgwHeartbeatInterval"), {0}),
                   MibValue::unsigned32(facts.heartbeat_s)});
    out.push_back(alarms_active_var(root, alarms_active_));
    std::sort(out.begin(), out.end(),
              [](const MibVar& a, const MibVar& b) { return a.name < b.name; });
}

const MibVar* MibView::get(const Oid& name) const {
    const auto it = std::lower_bound(vars_.begin(), vars_.end(), name,
                                     [](const MibVar& v, const Oid& n) { return v.name < n; });
    return it != vars_.end() && it->name == name ? &*it : nullptr;
}

const MibVar* MibView::next(const Oid& name, bool inclusive) const {
    const auto it =
        inclusive ? std::lower_bound(vars_.begin(), vars_.end(), name,
                                     [](const MibVar& v, const Oid& n) { return v.name < n; })
                  : std::upper_bound(vars_.begin(), vars_.end(), name,
                                     [](const Oid& n, const MibVar& v) { return n < v.name; });
    return it != vars_.end() ? &*it : nullptr;
}

}  // namespace smdgw::snmp
