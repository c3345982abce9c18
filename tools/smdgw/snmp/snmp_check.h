#pragma once
// smdgw --check-config with --snmp-agentx: one line saying what the subagent
// would use (snmpd's AgentX socket and whether it is there, the root, the
// heartbeat, where the notification sequence is kept and its last number),
// without connecting or writing anything.

#include <cstdio>

#include "tools/smdgw/snmp/snmp_options.h"

namespace smdgw::snmp {

// Writes the line to out; returns 0, or 2 when the gateway would not start
// (an unreadable sequence file), with the reason on standard error.
int check_snmp(const SnmpOptions& options, std::FILE* out);

}  // namespace smdgw::snmp
