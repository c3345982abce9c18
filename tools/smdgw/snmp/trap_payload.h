#pragma once
// A notification as the outbox keeps it: built whole when its number is
// taken (snmpTrapOID and every variable binding, the sequence number among
// them), so that sent again after an snmpd outage it carries what it said
// then. One line per binding, text the outbox stores as it is:
//
//   T 1.3.6.1.4.1.8072.9999.9999.1.0.1            the notification's OID
//   V 1.3.6.1.4.1.8072.9999.9999.1.1.1.0 u 17     smdgwNotificationSequence.0
//   V 1.3.6.1.4.1.8072.9999.9999.1.3.1.1.2.5 s 706c616e7431   "plant1" in hex
//
// Types: i Integer32, u Unsigned32/Gauge32, c Counter64, t TimeTicks,
// s OCTET STRING (hex), o OBJECT IDENTIFIER.

#include <string>
#include <vector>

#include "tools/smdgw/snmp/mib_view.h"

namespace smdgw::snmp {

struct StoredTrap {
    Oid trap;
    std::vector<MibVar> vars;
};

// The bounds a stored notification is read within.
constexpr size_t kMaxTrapPayload = 64 * 1024;
constexpr size_t kMaxTrapVars = 64;

std::string trap_payload(const Oid& trap, const std::vector<MibVar>& vars);

// False with error saying what is wrong for anything trap_payload would not
// have written (a damaged row).
bool parse_trap_payload(const std::string& payload, StoredTrap& out, std::string& error);

}  // namespace smdgw::snmp
