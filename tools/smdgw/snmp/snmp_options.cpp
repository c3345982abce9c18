#include "tools/smdgw/snmp/snmp_options.h"

#include <CLI/CLI.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "host/host_port.h"
#include "tools/smdgw/core/log.h"

namespace smdgw::snmp {

namespace {

// sockaddr_un's sun_path holds 108 bytes with its terminating NUL.
constexpr size_t kMaxSocketPath = 107;
constexpr size_t kMaxRootArcs = 100;

// The standard tables the subagent registers; its own root may not overlap them.
const Oid kEntPhysicalTable = {1, 3, 6, 1, 2, 1, 47, 1, 1, 1};
const Oid kEntPhySensorTable = {1, 3, 6, 1, 2, 1, 99, 1, 1};

bool is_prefix(const Oid& a, const Oid& b) {
    return a.size() <= b.size() && std::equal(a.begin(), a.end(), b.begin());
}

std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool parse_oid(const std::string& text, Oid& oid, std::string& error) {
    oid.clear();
    const std::string t = !text.empty() && text[0] == '.' ? text.substr(1) : text;
    size_t at = 0;
    while (at <= t.size()) {
        const size_t dot = t.find('.', at);
        const std::string arc = t.substr(at, dot == std::string::npos ? std::string::npos : dot - at);
        bool digits = !arc.empty() && arc.size() <= 10;
        for (char c : arc) digits = digits && c >= '0' && c <= '9';
        if (!digits || std::stoull(arc) > 4294967295ULL) {
            error = "\"" + text + "\" is not a numeric OID (arcs of digits separated by dots, "
                    "each at most 4294967295)";
            return false;
        }
        oid.push_back(static_cast<uint32_t>(std::stoull(arc)));
        if (dot == std::string::npos) break;
        at = dot + 1;
    }
    return true;
}

std::string oid_text(const Oid& oid) {
    std::string s;
    for (size_t i = 0; i < oid.size(); ++i) s += (i ? "." : "") + std::to_string(oid[i]);
    return s;
}

bool parse_agentx_address(const std::string& text, std::string& error) {
    const auto bad = [&](const std::string& why) {
        error = "--snmp-agentx \"" + text + "\": " + why +
                " (a socket path, unix:PATH or tcp:HOST:PORT)";
        return false;
    };
    if (text.rfind("tcp:", 0) == 0) {
        smd::HostPort hp;
        const std::string why = smd::parse_host_port(text.substr(4), hp, smd::PortZero::Refused);
        if (!why.empty()) return bad(why);
        return true;
    }
    const std::string path = text.rfind("unix:", 0) == 0 ? text.substr(5) : text;
    if (path.empty() || path[0] != '/') return bad("a socket path must be absolute");
    if (path.size() > kMaxSocketPath)
        return bad("a socket path is limited to " + std::to_string(kMaxSocketPath) + " bytes");
    if (path.find(':') != std::string::npos) return bad("a socket path with a colon");
    return true;
}

bool check_root(const Oid& root, std::string& error) {
    if (root.size() < 2 || root.size() > kMaxRootArcs) {
        error = "--snmp-root \"" + oid_text(root) + "\": needs 2 to " +
                std::to_string(kMaxRootArcs) + " arcs";
        return false;
    }
    if (root[0] > 2 || (root[0] < 2 && root[1] > 39)) {
        error = "--snmp-root \"" + oid_text(root) +
                "\": not an OID (the first arc is 0, 1 or 2; under 0 and 1 the second is at "
                "most 39)";
        return false;
    }
    for (const Oid* table : {&kEntPhysicalTable, &kEntPhySensorTable}) {
        if (is_prefix(root, *table) || is_prefix(*table, root)) {
            error = "--snmp-root \"" + oid_text(root) + "\" overlaps " + oid_text(*table) +
                    ", a standard table the subagent serves";
            return false;
        }
    }
    return true;
}

bool SnmpOptions::check_root_option() {
    std::string error;
    if (!parse_oid(root_text, root, error)) return usage_error("--snmp-root " + error);
    if (!check_root(root, error)) return usage_error(error);
    return true;
}

bool SnmpOptions::check(const std::string& history) {
    // Given with or without its address.
    if (agentx_option && agentx_option->count() > 0) given = true;
    if (!enabled()) return true;
    std::string error;
    address = agentx.empty() ? kDefaultAgentx : agentx;
    if (!parse_agentx_address(address, error)) return usage_error(error);
    if (!check_root_option()) return false;
    state_folder = state_dir;
    if (state_folder.empty()) {
        // systemd's StateDirectory= (several folders are separated by colons).
        const char* env = std::getenv("STATE_DIRECTORY");
        const std::string dirs = env ? env : "";
        state_folder = dirs.substr(0, dirs.find(':'));
    }
    if (state_folder.empty() && !history.empty()) state_folder = folder_of(history);
    if (state_folder.empty())
        return usage_error(
            "--snmp-agentx needs a folder for its state (the notification sequence number, "
            "net-snmp's files): --snmp-state-dir DIR, or --history FILE");
    struct stat st {};
    if (::stat(state_folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return usage_error("--snmp-state-dir \"" + state_folder + "\" is not a folder");
    if (::access(state_folder.c_str(), W_OK | X_OK) != 0)
        return usage_error("--snmp-state-dir \"" + state_folder + "\" is not writable");
    persistent_dir = state_folder + "/net-snmp";
    history_path = history;
    // Always in the state folder: a history file made anew must not start
    // the numbers again, nor lose the notifications waiting for snmpd.
    sequence_file = state_folder + "/snmp-notification-sequence";
    outbox_path = state_folder + "/snmp-outbox.db";
    return true;
}

void add_snmp_options(CLI::App& app, SnmpOptions& o) {
    auto* agentx =
        app.add_option("--snmp-agentx", o.agentx,
                       "Serve SNMP through snmpd as an AgentX subagent: sensor, device and alarm "
                       "tables, numbered traps. ADDR is snmpd's AgentX socket (default " +
                           std::string(kDefaultAgentx) + "; unix:PATH or tcp:HOST:PORT too)")
            ->expected(0, 1)
            ->type_name("[ADDR]");
    o.agentx_option = agentx;
    app.add_option("--snmp-root", o.root_text,
                   "Root OID of the gateway's MIB module (default under net-snmp's experimental "
                   "arc; use your enterprise number's)")
        ->type_name("OID")
        ->capture_default_str();
    app.add_option("--snmp-heartbeat", o.heartbeat_s,
                   "Send a heartbeat notification with the last sequence number every SECONDS "
                   "(0: none)")
        ->check(CLI::Range(0, 86400))
        ->needs(agentx)
        ->type_name("SECONDS")
        ->capture_default_str();
    app.add_option("--snmp-ping", o.ping_s,
                   "Ping snmpd every SECONDS; a restarted snmpd is registered with again within "
                   "about that time")
        ->check(CLI::Range(1, 3600))
        ->needs(agentx)
        ->type_name("SECONDS")
        ->capture_default_str();
    app.add_option("--snmp-state-dir", o.state_dir,
                   "Folder for the notification sequence number, the notifications waiting "
                   "for snmpd (snmp-outbox.db) and net-snmp's files (default: the unit's state "
                   "folder, else the folder of --history)")
        ->needs(agentx)
        ->type_name("DIR");
    app.add_flag("--snmp-mib", o.print_mib,
                 "Print the gateway's MIB module for --snmp-root and exit");
}

}  // namespace smdgw::snmp
