#pragma once
// Debian's snmpd as an AgentX master with an SNMPv3 authPriv user, and
// snmptrapd taking the notifications snmpd sends, both on free loopback ports
// with configurations the test writes; and the net-snmp command-line tools
// to walk snmpd and read what snmptrapd logged. OIDs are numeric throughout
// (Debian's main archive has no IETF MIB files).

#include <memory>
#include <string>
#include <vector>

#include "tests/support/run_process.h"

namespace testsupport {

// One variable binding: a numeric OID without its leading dot, and the value
// as the tools print it with -Oq -Ox -Oe -Ot: a number, an OID, or the bytes
// of a string (decoded from hex).
struct SnmpVar {
    std::string oid;
    std::string value;
};

struct SnmpTrap {
    std::string trap_oid;  // snmpTrapOID.0
    std::vector<SnmpVar> vars;
    // The value of the first variable whose OID starts with prefix, or "".
    std::string value(const std::string& prefix) const;
};

// Variable bindings as the tools print them: "OID value" separated by tabs or
// line feeds; a quoted hex string may run over several lines.
std::vector<SnmpVar> parse_snmp_vars(const std::string& text);

class SnmpDaemons {
   public:
    // The v3 user of snmpd.conf.
    static constexpr const char* kUser = "smdgwtest";

    explicit SnmpDaemons(const std::string& dir);
    ~SnmpDaemons();
    SnmpDaemons(const SnmpDaemons&) = delete;
    SnmpDaemons& operator=(const SnmpDaemons&) = delete;

    // Starts snmpd and waits (bounded) until it answers and its AgentX socket is there.
    bool start_snmpd();
    // SIGTERM, and waits for it to exit.
    void stop_snmpd();
    // Starts snmptrapd and waits (bounded) until it logged its start.
    bool start_trapd();

    // The --snmp-agentx address of this snmpd.
    std::string agentx() const { return "unix:" + dir_ + "/agentx"; }
    // snmpbulkwalk over SNMPv3 authPriv; empty when nothing answered.
    std::vector<SnmpVar> walk(const std::string& oid) const;
    // The notifications snmptrapd logged, in order.
    std::vector<SnmpTrap> traps() const;
    std::string snmpd_log() const;
    std::string trapd_log() const { return read_text(dir_ + "/traps.log"); }

   private:
    std::string dir_;
    int port_;
    int trap_port_;
    std::unique_ptr<Child> snmpd_;
    std::unique_ptr<Child> trapd_;
};

}  // namespace testsupport
