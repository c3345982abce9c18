#include "tools/smdgw/snmp/agentx_session.h"

// net-snmp's headers: the configuration first, as the library requires.
// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/agent_callbacks.h>
// clang-format on

#include <sys/select.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/steady_time.h"

namespace smdgw::snmp {

namespace {

// The library's name for its configuration and persistent files (smdgw.conf).
constexpr const char* kAppName = "smdgw";
// snmpTrapOID.0 (SNMPv2-MIB).
const oid kSnmpTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};

// Distinct library messages rate-limited at once.
constexpr size_t kMaxLogKinds = 64;
// One session per process: the library's state is global.
bool g_session_exists = false;

std::vector<oid> to_netsnmp(const Oid& o) { return std::vector<oid>(o.begin(), o.end()); }

Oid from_netsnmp(const oid* name, size_t len) {
    Oid o;
    o.reserve(len);
    for (size_t i = 0; i < len; ++i) o.push_back(static_cast<uint32_t>(name[i]));
    return o;
}

// Sets a varbind's value (type and bytes) from ours.
void set_value(netsnmp_variable_list* vb, const MibValue& v) {
    switch (v.type) {
        case MibValue::Type::Integer: {
            const long n = static_cast<long>(v.number);
            snmp_set_var_typed_value(vb, ASN_INTEGER, &n, sizeof n);
            break;
        }
        case MibValue::Type::Unsigned: {
            const u_long n = static_cast<u_long>(v.number);
            snmp_set_var_typed_value(vb, ASN_GAUGE, &n, sizeof n);
            break;
        }
        case MibValue::Type::TimeTicks: {
            const u_long n = static_cast<u_long>(v.number);
            snmp_set_var_typed_value(vb, ASN_TIMETICKS, &n, sizeof n);
            break;
        }
        case MibValue::Type::Counter64: {
            counter64 c;
            c.high = static_cast<u_long>(v.counter >> 32);
            c.low = static_cast<u_long>(v.counter & 0xFFFFFFFFu);
            snmp_set_var_typed_value(vb, ASN_COUNTER64, &c, sizeof c);
            break;
        }
        case MibValue::Type::Octets:
            snmp_set_var_typed_value(vb, ASN_OCTET_STR, v.octets.data(), v.octets.size());
            break;
        case MibValue::Type::ObjectId: {
            const std::vector<oid> o = to_netsnmp(v.oid);
            snmp_set_var_typed_value(vb, ASN_OBJECT_ID, o.data(), o.size() * sizeof(oid));
            break;
        }
    }
}

bool starts_with(const Oid& name, const oid* prefix, size_t len) {
    if (name.size() < len) return false;
    for (size_t i = 0; i < len; ++i)
        if (name[i] != prefix[i]) return false;
    return true;
}

// A folder for net-snmp's files; the library would make /var/lib/snmp, which
// a service with a read-only /var cannot.
void make_folder(const std::string& path) {
    if (::mkdir(path.c_str(), 0750) != 0 && errno != EEXIST)
        log_warning("snmp: cannot make " + path + ": " + std::strerror(errno));
}

}  // namespace

struct AgentxSession::Glue {
    static int request(netsnmp_mib_handler* handler, netsnmp_handler_registration* reg,
                       netsnmp_agent_request_info* reqinfo, netsnmp_request_info* requests) {
        auto* self = static_cast<AgentxSession*>(handler->myvoid);
        ++self->requests_;
        for (netsnmp_request_info* r = requests; r; r = r->next) {
            if (r->processed) continue;
            netsnmp_variable_list* vb = r->requestvb;
            const Oid name = from_netsnmp(vb->name, vb->name_length);
            if (reqinfo->mode == MODE_GET) {
                const MibVar* v = self->lookup_(name, true, false);
                if (v && starts_with(v->name, reg->rootoid, reg->rootoid_len))
                    set_value(vb, v->value);
                else
                    netsnmp_set_request_error(reqinfo, r, SNMP_NOSUCHINSTANCE);
            } else if (reqinfo->mode == MODE_GETNEXT) {
                const MibVar* v = self->lookup_(name, false, r->inclusive != 0);
                // Beyond this subtree the agent asks the next registration.
                if (!v || !starts_with(v->name, reg->rootoid, reg->rootoid_len)) continue;
                const std::vector<oid> o = to_netsnmp(v->name);
                snmp_set_var_objid(vb, o.data(), o.size());
                set_value(vb, v->value);
            }
        }
        return SNMP_ERR_NOERROR;
    }

    static int connection(int, int minor, void*, void* client) {
        auto* self = static_cast<AgentxSession*>(client);
        const bool up = minor == SNMPD_CALLBACK_INDEX_START;
        if (up == self->connected_) return 0;
        self->connected_ = up;
        if (up) {
            ++self->registrations_;
            log_info("snmp: registered with the AgentX master at " + self->settings_.address);
        } else {
            ++self->disconnects_;
            log_warning("snmp: lost the AgentX master at " + self->settings_.address +
                        "; trying again every " + std::to_string(self->settings_.ping_s) + " s");
        }
        return 0;
    }

    static int log(int, int, void* server, void* client) {
        auto* self = static_cast<AgentxSession*>(client);
        const auto* m = static_cast<const snmp_log_message*>(server);
        if (!m || !m->msg) return 0;
        std::string text = m->msg;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (text.empty()) return 0;
        if (m->priority > LOG_WARNING) {
            log_debug("snmp: " + text);
            return 0;
        }
        const double now = steady_seconds();
        // A message repeated each ping interval is written once a minute.
        if (self->library_log_.size() >= kMaxLogKinds && !self->library_log_.count(text))
            self->library_log_.clear();
        LogLimiter& limit = self->library_log_.emplace(text, LogLimiter(60.0)).first->second;
        if (auto held = limit.allow(now)) {
            // 263: duplicateRegistration (RFC 2741), the subtree has another owner.
            const std::string hint =
                text.rfind("registering pdu failed: 263", 0) == 0
                    ? " (another subagent of this snmpd serves the same subtree: run one smdgw "
                      "per snmpd, it follows many devices)"
                    : "";
            const std::string line =
                "snmp: net-snmp: " + text + hint + LogLimiter::held_note(*held);
            if (m->priority <= LOG_ERR)
                log_error(line);
            else
                log_warning(line);
        }
        return 0;
    }
};

AgentxSession::AgentxSession(const Settings& settings, Lookup lookup)
    : settings_(settings), lookup_(std::move(lookup)) {
    if (g_session_exists) throw std::logic_error("one AgentX session per process");
    g_session_exists = true;
    // The library's messages go through smdgw's log.
    snmp_disable_log();
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, &Glue::log, this);
    snmp_enable_calllog();
    make_folder(settings_.persistent_dir);
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_PERSISTENT_DIR,
                          settings_.persistent_dir.c_str());
    // smdgw's options say everything; files in /etc/snmp do not change it.
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    // Timers run in run_once, never from SIGALRM in a threaded process.
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
    // The subagent serves numeric OIDs and reads no MIB file.
    char no_mibs[] = "mibs :";
    netsnmp_config_remember(no_mibs);
    snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START, &Glue::connection,
                           this);
    snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP, &Glue::connection,
                           this);
    init_agent(kAppName);
    // After init_agent, which sets the library's defaults (a 15 s ping).
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET,
                          settings_.address.c_str());
    // Without a ping interval the library neither notices a lost snmpd nor
    // tries again.
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL,
                       static_cast<int>(settings_.ping_s));
    // Each failed try would say so; the service says it once per outage.
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_NO_CONNECTION_WARNINGS, 1);
    for (const Oid& subtree : settings_.subtrees) {
        const std::vector<oid> o = to_netsnmp(subtree);
        netsnmp_mib_handler* h = netsnmp_create_handler("smdgw", &Glue::request);
        h->myvoid = this;
        netsnmp_handler_registration* reg =
            netsnmp_handler_registration_create("smdgw", h, o.data(), o.size(), HANDLER_CAN_RONLY);
        if (netsnmp_register_handler(reg) != MIB_REGISTERED_OK)
            log_error("snmp: cannot register " + oid_text(subtree));
    }
    // Reads no file (see above) and makes the first try to connect.
    init_snmp(kAppName);
}

AgentxSession::~AgentxSession() {
    // The library frees the argument of every callback still registered at
    // its shutdown; ours is this object.
    snmp_unregister_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START,
                             &Glue::connection, this, 1);
    snmp_unregister_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP,
                             &Glue::connection, this, 1);
    snmp_unregister_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, &Glue::log, this, 1);
    snmp_shutdown(kAppName);
    shutdown_agent();
    g_session_exists = false;
}

void AgentxSession::run_once(int wake_fd, int timeout_ms) {
    int numfds = 0;
    fd_set readfds;
    FD_ZERO(&readfds);
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    int block = 0;
    // Lowers tv to the library's next timer when that comes sooner.
    snmp_select_info(&numfds, &readfds, &tv, &block);
    if (wake_fd >= 0) {
        FD_SET(wake_fd, &readfds);
        if (wake_fd >= numfds) numfds = wake_fd + 1;
    }
    const int count = ::select(numfds, &readfds, nullptr, nullptr, &tv);
    if (count > 0)
        snmp_read(&readfds);
    else if (count == 0)
        snmp_timeout();
    run_alarms();
    netsnmp_check_outstanding_agent_requests();
}

bool AgentxSession::notify(const Oid& trap, const std::vector<MibVar>& vars) {
    if (!connected_) return false;
    netsnmp_variable_list* list = nullptr;
    const std::vector<oid> t = to_netsnmp(trap);
    snmp_varlist_add_variable(&list, kSnmpTrapOid, OID_LENGTH(kSnmpTrapOid), ASN_OBJECT_ID,
                              t.data(), t.size() * sizeof(oid));
    for (const MibVar& v : vars) {
        const std::vector<oid> name = to_netsnmp(v.name);
        netsnmp_variable_list* vb =
            snmp_varlist_add_variable(&list, name.data(), name.size(), ASN_NULL, nullptr, 0);
        if (vb) set_value(vb, v.value);
    }
    send_v2trap(list);
    snmp_free_varbind(list);
    return true;
}

uint32_t AgentxSession::uptime_ticks() {
    return static_cast<uint32_t>(netsnmp_get_agent_uptime());
}

}  // namespace smdgw::snmp
