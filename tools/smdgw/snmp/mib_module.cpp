#include "tools/smdgw/snmp/mib_module.h"

#include <cstring>

#include "host/data_state.h"
#include "tools/smdgw/snmp/entity_columns.h"

namespace smdgw::snmp {

namespace {

using K = Kind;
using S = Syntax;

// The alarm objects every alarm notification carries, in this order: the
// English meaning first, since managers show a notification by its first
// text, and the plant's own message (Chinese, shown as hex by many) after it.
#define SMDGW_ALARM_OBJECTS                                                         \
    "smdgwNotificationSequence, smdgwAlarmEnglish, smdgwAlarmDevice, smdgwAlarmId, " \
    "smdgwAlarmKey, smdgwAlarmSequence, smdgwAlarmLevel, smdgwAlarmMessage, "      \
    "smdgwAlarmSince, smdgwAlarmValue, smdgwAlarmReason"

const std::vector<MibObject> kObjects = {
    {"smdgwMIB", K::Identity, nullptr, 0, S::None, false, "", "", "",
     "The site-monitoring gateway smdgw: the devices it follows (-48 V DC power "
     "systems), their active alarms, and numbered notifications of alarm and device "
     "state changes. The measured values are in ENTITY-SENSOR-MIB's entPhySensorTable, "
     "the plants and their parts in ENTITY-MIB's entPhysicalTable."},
    {"smdgwNotifications", K::Node, "smdgwMIB", 0, S::None, false, "", "", "", ""},
    {"smdgwObjects", K::Node, "smdgwMIB", 1, S::None, false, "", "", "", ""},
    {"smdgwConformance", K::Node, "smdgwMIB", 2, S::None, false, "", "", "", ""},
    {"smdgwGateway", K::Node, "smdgwObjects", 1, S::None, false, "", "", "", ""},

    {"smdgwNotificationSequence", K::Scalar, "smdgwGateway", 1, S::Unsigned32, true, "", "", "",
     "The sequence number of the last numbered notification the gateway sent "
     "(smdgwAlarmRaised, smdgwAlarmCleared, smdgwDeviceStateChanged); 0 before the "
     "first. Each numbered notification takes the next number, stored before it is "
     "sent and kept across restarts, so a gap in the numbers a manager receives means "
     "a notification was lost: it then reads smdgwAlarmTable again. In a notification "
     "this object carries that notification's own number; in smdgwHeartbeat the last "
     "number sent. After 4294967295 it wraps to 0."},
    {"smdgwHeartbeatInterval", K::Scalar, "smdgwGateway", 2, S::Unsigned32, true, "seconds", "",
     "", "Seconds between two smdgwHeartbeat notifications; 0 when none are sent."},
    {"smdgwAlarmsActive", K::Scalar, "smdgwGateway", 3, S::Gauge32, true, "", "", "",
     "The rows of smdgwAlarmTable: alarms raised and not cleared, all devices together."},

    {"smdgwDeviceTable", K::Table, "smdgwObjects", 2, S::None, false, "", "", "",
     "The devices of the gateway's configuration, in its order."},
    {"smdgwDeviceEntry", K::Entry, "smdgwDeviceTable", 1, S::None, false, "", "",
     "smdgwDeviceIndex", "One device (a power plant on a serial line)."},
    {"smdgwDeviceIndex", K::Column, "smdgwDeviceEntry", 1, S::Unsigned32, false, "",
     "(1..4294967295)", "", "The device's place in the configuration, from 1."},
    {"smdgwDeviceName", K::Column, "smdgwDeviceEntry", 2, S::AdminString, true, "", "", "",
     "The device's name in the configuration."},
    {"smdgwDeviceAddress", K::Column, "smdgwDeviceEntry", 3, S::Integer32, true, "", "(-1..255)",
     "", "The device's address on its line as configured; -1 when none is configured."},
    {"smdgwDeviceRole", K::Column, "smdgwDeviceEntry", 4, S::DeviceRole, true, "", "", "",
     "listen: the gateway follows another master's polls; master: the gateway polls the "
     "plant itself."},
    {"smdgwDeviceState", K::Column, "smdgwDeviceEntry", 5, S::DeviceState, true, "", "", "",
     "never: no round since the start; live: a live round within the device's "
     "stale_after_s and its port open; stale: no live round for that long; restored: "
     "only a record restored from the history; noPort: the device's port is not open."},
    {"smdgwDeviceLastRound", K::Column, "smdgwDeviceEntry", 6, S::DateAndTime, true, "", "", "",
     "When the device's last round was published, local time with its offset from UTC; "
     "zero octets (0000000000000000 in hex) before the first."},
    {"smdgwDeviceRounds", K::Column, "smdgwDeviceEntry", 7, S::Counter64, true, "", "", "",
     "Live rounds published since the start."},
    {"smdgwDeviceRoundsDamaged", K::Column, "smdgwDeviceEntry", 8, S::Counter64, true, "", "", "",
     "Live rounds published with a frame error or an unanswered command."},
    {"smdgwDeviceAlarmsActive", K::Column, "smdgwDeviceEntry", 9, S::Gauge32, true, "", "", "",
     "The device's rows in smdgwAlarmTable."},
    {"smdgwDevicePhysicalIndex", K::Column, "smdgwDeviceEntry", 10, S::Integer32, true, "",
     "(1..2147483647)", "",
     "The device's entPhysicalIndex in ENTITY-MIB's entPhysicalTable: 1000 times its "
     "smdgwDeviceIndex. Its parts and sensors follow it (see docs/snmp.md)."},

    {"smdgwAlarmTable", K::Table, "smdgwObjects", 3, S::None, false, "", "", "",
     "The active alarms of every device, as GET /api/v1/alarms lists them. A manager that "
     "saw a gap in smdgwNotificationSequence reads this table to resynchronise."},
    {"smdgwAlarmEntry", K::Entry, "smdgwAlarmTable", 1, S::None, false, "", "", "smdgwAlarmIndex",
     "One active alarm."},
    {"smdgwAlarmIndex", K::Column, "smdgwAlarmEntry", 1, S::Unsigned32, false, "",
     "(1..4294967295)", "",
     "The row's number: given when the gateway first sees the alarm active, kept while it "
     "is, never given twice while the gateway runs."},
    {"smdgwAlarmDevice", K::Column, "smdgwAlarmEntry", 2, S::AdminString, true, "", "", "",
     "The name of the device that raised the alarm."},
    {"smdgwAlarmId", K::Column, "smdgwAlarmEntry", 3, S::AdminString, true, "", "", "",
     "The alarm ID (12 digits, see docs/alarms.md)."},
    {"smdgwAlarmKey", K::Column, "smdgwAlarmEntry", 4, S::AdminString, true, "", "", "",
     "The key of the value the alarm is about."},
    {"smdgwAlarmSequence", K::Column, "smdgwAlarmEntry", 5, S::Unsigned32, true, "", "(0..65535)",
     "", "The alarm's sequence number among alarms of the same ID and key (a module, a fuse)."},
    {"smdgwAlarmLevel", K::Column, "smdgwAlarmEntry", 6, S::Integer32, true, "", "", "",
     "The alarm's level as configured."},
    {"smdgwAlarmMessage", K::Column, "smdgwAlarmEntry", 7, S::AdminString, true, "", "", "",
     "The message the alarm was raised with, in UTF-8 as the driver wrote it."},
    {"smdgwAlarmEnglish", K::Column, "smdgwAlarmEntry", 8, S::AdminString, true, "", "", "",
     "The meaning of the message in English; empty when none is known."},
    {"smdgwAlarmSince", K::Column, "smdgwAlarmEntry", 9, S::DateAndTime, true, "", "", "",
     "When the gateway raised the alarm, local time with its offset from UTC."},
    {"smdgwAlarmValue", K::Column, "smdgwAlarmEntry", 10, S::AdminString, true, "", "", "",
     "The value at the alarm's last change, as text."},
    {"smdgwAlarmAckBy", K::Column, "smdgwAlarmEntry", 11, S::AdminString, true, "", "", "",
     "Who acknowledged the alarm (POST .../alarms/{id}/ack, see docs/alarms.md): a person "
     "handles it. Empty when nobody has; an alarm that clears and raises again is nobody's."},
    {"smdgwAlarmAckComment", K::Column, "smdgwAlarmEntry", 12, S::AdminString, true, "", "", "",
     "The comment given with the acknowledgement; empty when none was given."},
    {"smdgwAlarmAckTime", K::Column, "smdgwAlarmEntry", 13, S::DateAndTime, true, "", "", "",
     "When the alarm was acknowledged, local time with its offset from UTC; zero octets "
     "(0000000000000000 in hex) when nobody has."},
    {"smdgwAlarmReason", K::Column, "smdgwAlarmEntry", 14, S::AdminString, true, "", "", "",
     "Why the alarm's last change came, when not from the plant's report alone: flapping "
     "(it keeps raising and clearing; shown raised until it settles), stable (it settled; "
     "this is its real state), not reported (a round that refreshed its section no longer "
     "reports it). Empty otherwise. In the table: flapping or empty."},

    {"smdgwBatteryTable", K::Table, "smdgwObjects", 4, S::None, false, "", "", "",
     "The battery estimate of every device with a battery configured, as GET "
     "/api/v1/devices/{name}/battery gives it; a device without one has no row. The "
     "bank's current and temperature are sensors of ENTITY-SENSOR-MIB (see docs/snmp.md)."},
    {"smdgwBatteryEntry", K::Entry, "smdgwBatteryTable", 1, S::None, false, "", "",
     "smdgwDeviceIndex", "The battery bank of one device, indexed as its row of smdgwDeviceTable."},
    {"smdgwBatteryState", K::Column, "smdgwBatteryEntry", 1, S::BatteryState, true, "", "", "",
     "float: held full by the rectifiers; charging; discharging: the strings carry the load; "
     "disconnected: at the low-voltage disconnect; unknown: no round has refreshed the DC "
     "panels yet."},
    {"smdgwBatteryCharge", K::Column, "smdgwBatteryEntry", 2, S::Integer32, true, "percent",
     "(-1..100)", "",
     "The estimated state of charge, counted in ampere-hours from full; -1 until the strings "
     "have been known full (float held 10 minutes)."},
    {"smdgwBatteryRuntime", K::Column, "smdgwBatteryEntry", 3, S::Integer32, true, "seconds",
     "(-1..2147483647)", "",
     "The estimated time to the low-voltage disconnect while discharging; -1 when not "
     "discharging or not yet known."},
    {"smdgwBatteryRuntimeLow", K::Column, "smdgwBatteryEntry", 4, S::Integer32, true, "seconds",
     "(-1..2147483647)", "",
     "The low end of the time's uncertainty band; -1 as for smdgwBatteryRuntime."},
    {"smdgwBatteryRuntimeHigh", K::Column, "smdgwBatteryEntry", 5, S::Integer32, true, "seconds",
     "(-1..2147483647)", "",
     "The high end of the time's uncertainty band; -1 as for smdgwBatteryRuntime."},

    {"smdgwAlarmRaised", K::Notification, "smdgwNotifications", 1, S::None, false, "", "",
     SMDGW_ALARM_OBJECTS,
     "A device raised an alarm. Numbered: smdgwNotificationSequence is this "
     "notification's number. The alarm objects carry the row's index in smdgwAlarmTable."},
    {"smdgwAlarmCleared", K::Notification, "smdgwNotifications", 2, S::None, false, "", "",
     SMDGW_ALARM_OBJECTS,
     "A device cleared an alarm; its row has left smdgwAlarmTable. Numbered like "
     "smdgwAlarmRaised."},
    {"smdgwDeviceStateChanged", K::Notification, "smdgwNotifications", 3, S::None, false, "", "",
     "smdgwNotificationSequence, smdgwDeviceName, smdgwDeviceState, smdgwDeviceLastRound",
     "A device's state changed (for example live to stale when its line went quiet). "
     "Numbered like smdgwAlarmRaised."},
    {"smdgwHeartbeat", K::Notification, "smdgwNotifications", 4, S::None, false, "", "",
     "smdgwNotificationSequence, smdgwAlarmsActive",
     "Sent every smdgwHeartbeatInterval seconds, not numbered: it carries the number of the "
     "last numbered notification, so a manager notices a silent gateway and a lost last "
     "notification alike."},

    {"smdgwCompliances", K::Node, "smdgwConformance", 1, S::None, false, "", "", "", ""},
    {"smdgwGroups", K::Node, "smdgwConformance", 2, S::None, false, "", "", "", ""},
    {"smdgwObjectGroup", K::Group, "smdgwGroups", 1, S::None, false, "", "", "",
     "The gateway's scalars, devices, active alarms and battery estimates."},
    {"smdgwNotificationGroup", K::Group, "smdgwGroups", 2, S::None, false, "", "", "",
     "The gateway's notifications."},
};

#undef SMDGW_ALARM_OBJECTS

const char* syntax_text(Syntax s) {
    switch (s) {
        case S::Unsigned32: return "Unsigned32";
        case S::Integer32: return "Integer32";
        case S::Gauge32: return "Gauge32";
        case S::Counter64: return "Counter64";
        case S::AdminString: return "SnmpAdminString";
        case S::DateAndTime: return "DateAndTime";
        case S::DeviceRole: return "INTEGER { listen(1), master(2) }";
        case S::DeviceState:
            return "INTEGER { never(1), live(2), stale(3), restored(4), noPort(5) }";
        case S::BatteryState:
            return "INTEGER { unknown(1), float(2), charging(3), discharging(4), "
                   "disconnected(5) }";
        case S::None: break;
    }
    return "";
}

// The type in an entry's SEQUENCE: enumerations and ranges left out.
const char* sequence_type(Syntax s) {
    return s == S::DeviceRole || s == S::DeviceState || s == S::BatteryState ? "INTEGER"
                                                                              : syntax_text(s);
}

// SMI's names start lower case; a table's entry type is its name capitalised.
std::string type_name(const char* entry) {
    std::string t = entry;
    t[0] = static_cast<char>(t[0] - 'a' + 'A');
    return t;
}

// A DESCRIPTION: quoted, wrapped at 72 columns, indented 8.
std::string description(const std::string& text) {
    std::string out = "    DESCRIPTION\n        \"";
    size_t col = 9;
    bool line_start = true;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(at, end - at);
        if (!line_start && col + 1 + word.size() > 76) {
            out += "\n        ";
            col = 8;
        } else if (!line_start) {
            out += ' ';
            ++col;
        }
        out += word;
        col += word.size();
        line_start = false;
        at = end + 1;
    }
    return out + "\"\n";
}

// The objects of a group: every readable object, or every notification.
std::vector<std::string> group_members(const MibObject& g) {
    std::vector<std::string> names;
    const bool notifications = std::strcmp(g.name, "smdgwNotificationGroup") == 0;
    for (const MibObject& o : kObjects)
        if (notifications ? o.kind == K::Notification : o.readable) names.push_back(o.name);
    return names;
}

std::string list_text(const std::vector<std::string>& names, const char* indent) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i)
        out += std::string(indent) + names[i] + (i + 1 < names.size() ? ",\n" : "\n");
    return out;
}

std::vector<std::string> split_members(const char* members) {
    std::vector<std::string> out;
    const std::string m = members;
    size_t at = 0;
    while (at < m.size()) {
        size_t end = m.find(',', at);
        if (end == std::string::npos) end = m.size();
        std::string name = m.substr(at, end - at);
        while (!name.empty() && name.front() == ' ') name.erase(0, 1);
        out.push_back(name);
        at = end + 1;
    }
    return out;
}

// How the identity's OID is written: under netSnmpPlaypen, under enterprises,
// or in full.
struct RootNotation {
    std::string import;  // "netSnmpPlaypen FROM NET-SNMP-MIB", or ""
    std::string value;   // "{ netSnmpPlaypen 1 }"
};

RootNotation root_notation(const Oid& root) {
    static const Oid playpen = {1, 3, 6, 1, 4, 1, 8072, 9999, 9999};
    static const Oid enterprises = {1, 3, 6, 1, 4, 1};
    const auto rest = [&](size_t from) {
        std::string s;
        for (size_t i = from; i < root.size(); ++i) s += " " + std::to_string(root[i]);
        return s;
    };
    const auto under = [&](const Oid& p) {
        return root.size() > p.size() && std::equal(p.begin(), p.end(), root.begin());
    };
    if (under(playpen))
        return {"    netSnmpPlaypen\n        FROM NET-SNMP-MIB", "{ netSnmpPlaypen" + rest(9) + " }"};
    if (under(enterprises)) return {"", "{ enterprises" + rest(6) + " }"};
    return {"", "{ iso" + rest(1) + " }"};
}

}  // namespace

const std::vector<MibObject>& mib_objects() { return kObjects; }

const MibObject* find_object(const std::string& name) {
    for (const MibObject& o : kObjects)
        if (name == o.name) return &o;
    return nullptr;
}

Oid object_oid(const Oid& root, const std::string& name) {
    std::vector<uint32_t> arcs;
    for (const MibObject* o = find_object(name); o && o->parent; o = find_object(o->parent))
        arcs.push_back(o->arc);
    Oid oid = root;
    oid.insert(oid.end(), arcs.rbegin(), arcs.rend());
    return oid;
}

uint32_t state_number(DataState s) {
    switch (s) {
        case DataState::Never: return 1;
        case DataState::Live: return 2;
        case DataState::Stale: return 3;
        case DataState::Restored: return 4;
        case DataState::NoPort: return 5;
    }
    return 1;
}

uint32_t role_number(const std::string& role) { return role == "master" ? 2 : 1; }

uint32_t battery_state_number(BatteryState s) {
    switch (s) {
        case BatteryState::Unknown: return 1;
        case BatteryState::Float: return 2;
        case BatteryState::Charging: return 3;
        case BatteryState::Discharging: return 4;
        case BatteryState::Disconnected: return 5;
    }
    return 1;
}

std::string mib_text(const Oid& root) {
    const RootNotation rn = root_notation(root);
    std::string out =
        "SMDGW-MIB DEFINITIONS ::= BEGIN\n"
        "\n"
        "-- The MIB module of smdgw, the site-monitoring gateway, for the root\n"
        "-- " + oid_text(root) + " (smdgw --snmp-root). Rendered by smdgw --snmp-mib\n"
        "-- from the table the subagent serves; do not edit.\n"
        "\n"
        "IMPORTS\n"
        "    MODULE-IDENTITY, OBJECT-TYPE, NOTIFICATION-TYPE,\n"
        "    Integer32, Unsigned32, Gauge32, Counter64";
    out += rn.import.empty() && rn.value.rfind("{ enterprises", 0) == 0 ? ", enterprises" : "";
    out +=
        "\n        FROM SNMPv2-SMI\n"
        "    DateAndTime\n        FROM SNMPv2-TC\n"
        "    MODULE-COMPLIANCE, OBJECT-GROUP, NOTIFICATION-GROUP\n        FROM SNMPv2-CONF\n"
        "    SnmpAdminString\n        FROM SNMP-FRAMEWORK-MIB";
    out += rn.import.empty() ? ";\n" : "\n" + rn.import + ";\n";
    for (const MibObject& o : kObjects) {
        const std::string parent = o.parent ? o.parent : "";
        const std::string assign = "    ::= { " + parent + " " + std::to_string(o.arc) + " }\n";
        out += "\n";
        switch (o.kind) {
            case K::Identity:
                out += std::string(o.name) +
                       " MODULE-IDENTITY\n"
                       "    LAST-UPDATED \"202612100000Z\"\n"
                       "    ORGANIZATION \"smdgw\"\n"
                       "    CONTACT-INFO \"The operator of the gateway; see docs/snmp.md.\"\n" +
                       description(o.description) +
                       "    REVISION \"202612100000Z\"\n"
                       "    DESCRIPTION \"smdgwBatteryTable: the battery estimates. The alarm "
                       "notifications carry smdgwAlarmEnglish first, and smdgwAlarmReason.\"\n"
                       "    REVISION \"202603010000Z\"\n"
                       "    DESCRIPTION \"The first version.\"\n"
                       "    ::= " + rn.value + "\n";
                break;
            case K::Node:
                out += std::string(o.name) + " OBJECT IDENTIFIER ::= { " + parent + " " +
                       std::to_string(o.arc) + " }\n";
                break;
            case K::Scalar:
            case K::Column:
                out += std::string(o.name) + " OBJECT-TYPE\n    SYNTAX      " +
                       syntax_text(o.syntax) + (*o.range ? std::string(" ") + o.range : "") +
                       "\n" + (*o.units ? std::string("    UNITS       \"") + o.units + "\"\n" : "") +
                       "    MAX-ACCESS  " + (o.readable ? "read-only" : "not-accessible") +
                       "\n    STATUS      current\n" + description(o.description) + assign;
                break;
            case K::Table: {
                const std::string entry = std::string(o.name).replace(
                    std::string(o.name).size() - 5, 5, "Entry");
                out += std::string(o.name) + " OBJECT-TYPE\n    SYNTAX      SEQUENCE OF " +
                       type_name(entry.c_str()) +
                       "\n    MAX-ACCESS  not-accessible\n    STATUS      current\n" +
                       description(o.description) + assign;
                break;
            }
            case K::Entry: {
                out += std::string(o.name) + " OBJECT-TYPE\n    SYNTAX      " + type_name(o.name) +
                       "\n    MAX-ACCESS  not-accessible\n    STATUS      current\n" +
                       description(o.description) + "    INDEX       { " + o.members + " }\n" +
                       assign;
                out += "\n" + type_name(o.name) + " ::= SEQUENCE {\n";
                std::vector<const MibObject*> cols;
                for (const MibObject& c : kObjects)
                    if (c.kind == K::Column && c.parent && std::strcmp(c.parent, o.name) == 0)
                        cols.push_back(&c);
                for (size_t i = 0; i < cols.size(); ++i) {
                    std::string line = std::string("    ") + cols[i]->name;
                    line.resize(std::max<size_t>(line.size() + 1, 32), ' ');
                    out += line + sequence_type(cols[i]->syntax) +
                           (i + 1 < cols.size() ? ",\n" : "\n");
                }
                out += "}\n";
                break;
            }
            case K::Notification:
                out += std::string(o.name) + " NOTIFICATION-TYPE\n    OBJECTS     {\n" +
                       list_text(split_members(o.members), "        ") +
                       "    }\n    STATUS      current\n" + description(o.description) + assign;
                break;
            case K::Group: {
                const bool notifications = std::strcmp(o.name, "smdgwNotificationGroup") == 0;
                if (std::strcmp(o.name, "smdgwObjectGroup") == 0)
                    out += "smdgwCompliance MODULE-COMPLIANCE\n"
                           "    STATUS      current\n" +
                           description("A gateway serves every object and sends every "
                                       "notification of this module.") +
                           "    MODULE      -- this module\n"
                           "        MANDATORY-GROUPS { smdgwObjectGroup, "
                           "smdgwNotificationGroup }\n"
                           "    ::= { smdgwCompliances 1 }\n\n";
                out += std::string(o.name) +
                       (notifications ? " NOTIFICATION-GROUP\n    NOTIFICATIONS {\n"
                                      : " OBJECT-GROUP\n    OBJECTS     {\n") +
                       list_text(group_members(o), "        ") + "    }\n    STATUS      current\n" +
                       description(o.description) + assign;
                break;
            }
        }
    }
    return out + "\nEND\n";
}

std::string oid_doc_table(const Oid& root) {
    std::string out =
        "| OID | Object | Meaning |\n"
        "|---|---|---|\n";
    const auto row = [&out](const std::string& oid, const std::string& name,
                            const std::string& meaning) {
        out += "| `" + oid + "` | " + name + " | " + meaning + " |\n";
    };
    const Oid phys = {1, 3, 6, 1, 2, 1, 47, 1, 1, 1, 1};
    for (const EntityColumn& c : kEntPhysicalColumns)
        row(oid_text(phys) + "." + std::to_string(c.arc) + ".*", std::string("`") + c.name + "`",
            c.meaning);
    const Oid sensor = {1, 3, 6, 1, 2, 1, 99, 1, 1, 1};
    for (const EntityColumn& c : kEntPhySensorColumns)
        row(oid_text(sensor) + "." + std::to_string(c.arc) + ".*", std::string("`") + c.name + "`",
            c.meaning);
    for (const MibObject& o : kObjects) {
        if (!o.readable && o.kind != K::Notification) continue;
        std::string suffix = o.kind == K::Scalar ? ".0" : o.kind == K::Column ? ".*" : "";
        // The first sentence says what it is.
        std::string meaning = o.description;
        const size_t stop = meaning.find(". ");
        if (stop != std::string::npos) meaning = meaning.substr(0, stop + 1);
        row(oid_text(object_oid(root, o.name)) + suffix, std::string("`") + o.name + "`", meaning);
    }
    return out;
}

}  // namespace smdgw::snmp
