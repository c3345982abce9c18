#include "tools/smdgw/snmp/snmp_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tools/smdgw/core/exit_status.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/notification_sequence.h"

namespace smdgw::snmp {

namespace {

// Whether the socket is there and this user may connect to it; a TCP master
// is not tried (that would be connecting).
std::string socket_state(const std::string& address) {
    if (address.rfind("tcp:", 0) == 0) return "not tried (TCP)";
    const std::string path = address.rfind("unix:", 0) == 0 ? address.substr(5) : address;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return "not there yet (smdgw waits for snmpd with \"master agentx\")";
    if (!S_ISSOCK(st.st_mode)) return "not a socket";
    if (::access(path.c_str(), W_OK) != 0)
        return "present but not writable by this user (see agentXPerms in docs/snmp.md)";
    return "present";
}

}  // namespace

int check_snmp(const SnmpOptions& o, std::FILE* out) {
    std::string sequence;
    try {
        sequence = o.sequence_file + " (last " +
                   std::to_string(NotificationSequence::read_file(o.sequence_file)) + ")";
    } catch (const SequenceError& e) {
        log_error(std::string("snmp: ") + e.what());
        return kExitUsage;
    }
    if (!o.history_path.empty())
        sequence += " and " + o.history_path + " (table notification_sequence)";
    sequence += ", waiting notifications in " + o.outbox_path;
    const std::string heartbeat =
        o.heartbeat_s ? "every " + std::to_string(o.heartbeat_s) + " s" : "none";
    std::fprintf(out, "snmp: AgentX master %s: %s, root %s, heartbeat %s, ping %u s, sequence in %s\n",
                 o.address.c_str(), socket_state(o.address).c_str(), oid_text(o.root).c_str(),
                 heartbeat.c_str(), o.ping_s, sequence.c_str());
    std::fflush(out);
    return kExitOk;
}

}  // namespace smdgw::snmp
