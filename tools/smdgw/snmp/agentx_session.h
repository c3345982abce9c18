#pragma once
// The subagent's link to snmpd through net-snmp's agent library: it opens the
// AgentX session, registers the subtrees, answers GET and GETNEXT (GETBULK
// comes as GETNEXT) from a lookup, sends notifications, and notices when snmpd
// goes away and comes back. net-snmp sets the AgentX ping interval, pings
// snmpd that often and, after losing it, tries to open a session again that
// often; every registration is made again once it succeeds.
//
// The library is not thread-safe and keeps global state: one session per
// process, created, run and destroyed on one thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tools/smdgw/core/log_limiter.h"
#include "tools/smdgw/snmp/mib_view.h"

namespace smdgw::snmp {

class AgentxSession {
   public:
    struct Settings {
        std::string address;         // snmpd's AgentX socket
        std::string persistent_dir;  // net-snmp's persistent files (made when missing)
        unsigned ping_s = 5;
        std::vector<Oid> subtrees;  // registered in this order
    };
    // The value at an OID (exact), or the first after it; null when none.
    using Lookup = std::function<const MibVar*(const Oid& name, bool exact, bool inclusive)>;

    // Starts the library and tries to connect once; later tries happen in run_once.
    AgentxSession(const Settings& settings, Lookup lookup);
    // Closes the session (snmpd is told) and shuts the library down.
    ~AgentxSession();
    AgentxSession(const AgentxSession&) = delete;
    AgentxSession& operator=(const AgentxSession&) = delete;

    // Waits at most timeout_ms for snmpd, requests or wake_fd becoming
    // readable, and handles what came (and the library's timers).
    void run_once(int wake_fd, int timeout_ms);

    bool connected() const { return connected_.load(); }
    // Times a session was opened and registered, and lost.
    uint64_t registrations() const { return registrations_; }
    uint64_t disconnects() const { return disconnects_; }
    uint64_t requests() const { return requests_; }
    // Sends a notification through snmpd: snmpTrapOID.0 = trap, then vars.
    // False when there is no session (nothing is sent).
    bool notify(const Oid& trap, const std::vector<MibVar>& vars);
    // The subagent's uptime in hundredths of a second.
    static uint32_t uptime_ticks();

   private:
    // The library's callbacks (agentx_session.cpp).
    struct Glue;

    Settings settings_;
    Lookup lookup_;
    std::atomic<bool> connected_{false};
    std::atomic<uint64_t> registrations_{0};
    std::atomic<uint64_t> disconnects_{0};
    std::atomic<uint64_t> requests_{0};
    // One limiter per message text of the library (a bounded few).
    std::map<std::string, LogLimiter> library_log_;
};

}  // namespace smdgw::snmp
