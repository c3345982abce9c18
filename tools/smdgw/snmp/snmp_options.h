#pragma once
// smdgw's --snmp-* options: where snmpd's AgentX master listens, the root of
// the gateway's own MIB module, the heartbeat, and where the subagent keeps
// its state. Checked before anything runs.

#include <cstdint>
#include <string>
#include <vector>

// CLI11 is heavy to compile: only the files that add options include it.
namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace smdgw::snmp {

// snmpd's AgentX socket when --snmp-agentx names none.
constexpr const char* kDefaultAgentx = "/var/agentx/master";
// Under net-snmp's experimental playground arc (NET-SNMP-MIB::netSnmpPlaypen),
// for a site without an enterprise number of its own.
constexpr const char* kDefaultRoot = "1.3.6.1.4.1.8072.9999.9999.1";

using Oid = std::vector<uint32_t>;

// "1.3.6.1.4.1.8072" as arcs; false with error naming the text for anything
// else (empty arcs, signs, more than 10 digits an arc, above 4294967295).
bool parse_oid(const std::string& text, Oid& oid, std::string& error);
// The dotted text of an OID.
std::string oid_text(const Oid& oid);

// An --snmp-agentx address as net-snmp opens it: an absolute socket path,
// unix:PATH, or tcp:HOST:PORT (a name, an IPv4 address or [IPv6]).
bool parse_agentx_address(const std::string& text, std::string& error);

// An --snmp-root: a numeric OID of 2 to 100 arcs that neither contains nor
// lies in the standard tables the subagent also serves.
bool check_root(const Oid& root, std::string& error);

struct SnmpOptions {
    bool given = false;       // --snmp-agentx given
    std::string agentx;       // as given; empty: kDefaultAgentx
    std::string root_text = kDefaultRoot;
    unsigned heartbeat_s = 60;  // 0: no heartbeat
    unsigned ping_s = 5;
    std::string state_dir;     // empty: $STATE_DIRECTORY, else the history's folder
    bool print_mib = false;    // --snmp-mib: print the MIB module and exit
    const CLI::Option* agentx_option = nullptr;  // set by add_snmp_options

    // Filled by check().
    std::string address;          // the AgentX master
    Oid root;
    std::string state_folder;     // the folder resolved
    std::string persistent_dir;   // net-snmp's persistent files
    std::string history_path;     // the notification sequence's database besides, when given
    std::string sequence_file;    // the notification sequence's state file
    std::string outbox_path;      // the notifications waiting for snmpd

    bool enabled() const { return given; }
    // Validates and resolves defaults; false with a message on standard
    // error naming the option.
    bool check(const std::string& history);
    // Checks --snmp-root alone (for --snmp-mib).
    bool check_root_option();
};

void add_snmp_options(CLI::App& app, SnmpOptions& options);

}  // namespace smdgw::snmp
