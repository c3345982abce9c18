#pragma once
// The gateway's own MIB module (SMDGW-MIB), described once: every node,
// scalar, table, column and notification with its arc, syntax and meaning.
// The subagent serves its objects by these arcs, the module's text
// (docs/SMDGW-MIB.txt, smdgw --snmp-mib) is rendered from it, and so is the
// OID table of docs/snmp.md; a test walks every object the text declares.
//
// One entry, annotated:
//   {"smdgwDeviceState", Kind::Column, "smdgwDeviceEntry", 5, Syntax::DeviceState, ...}
//    its name            a table column  its parent      arc  INTEGER { never(1), ... }
// so the state of device 2 is <root>.1.2.1.5.2.

#include <cstdint>
#include <string>
#include <vector>

#include "host/device_health.h"
#include "tools/smdgw/core/battery_estimator.h"
#include "tools/smdgw/snmp/snmp_options.h"

namespace smdgw::snmp {

enum class Kind : uint8_t { Identity, Node, Scalar, Table, Entry, Column, Notification, Group };

enum class Syntax : uint8_t {
    None,
    Unsigned32,
    Integer32,
    Gauge32,
    Counter64,
    AdminString,  // SnmpAdminString: UTF-8, at most 255 octets
    DateAndTime,  // 11 octets with the offset from UTC
    DeviceRole,   // INTEGER { listen(1), master(2) }
    DeviceState,  // INTEGER { never(1), live(2), stale(3), restored(4), noPort(5) }
    BatteryState,  // INTEGER { unknown(1), float(2), charging(3), discharging(4), disconnected(5) }
};

struct MibObject {
    const char* name;
    Kind kind;
    const char* parent;  // nullptr for the module identity (the root)
    uint32_t arc;
    Syntax syntax;
    bool readable;  // MAX-ACCESS read-only; an index column is not-accessible
    const char* units;
    const char* range;  // a SIZE or value range written after the syntax, or ""
    // Entry: its INDEX; Notification and Group: its OBJECTS; else "".
    const char* members;
    const char* description;
};

// The module's objects in the order its text declares them.
const std::vector<MibObject>& mib_objects();
// An object by name; nullptr when there is none.
const MibObject* find_object(const std::string& name);
// Its OID under root.
Oid object_oid(const Oid& root, const std::string& name);

// The module's values of a device state, of a role and of a battery state.
uint32_t state_number(DataState s);
uint32_t role_number(const std::string& role);
uint32_t battery_state_number(BatteryState s);

// The module as SMIv2 text, its identity under root.
std::string mib_text(const Oid& root);

// The OID tables of docs/snmp.md (Markdown): the standard columns served and
// the module's objects under root.
std::string oid_doc_table(const Oid& root);

}  // namespace smdgw::snmp
