#include "tests/support/snmp_daemons.h"

#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <thread>

#include "tests/support/free_port.h"

namespace testsupport {

namespace {

constexpr const char* kAuth = "smdgw-auth-secret";
constexpr const char* kPriv = "smdgw-priv-secret";
constexpr const char* kCommunity = "public";

bool eventually(const std::function<bool()>& ok, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (ok()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return ok();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
}

// "70 6C 61 6E 74 31 " as bytes.
std::string from_hex(const std::string& hex) {
    std::string out;
    unsigned value = 0;
    int digits = 0;
    for (char c : hex) {
        int d = -1;
        if (c >= '0' && c <= '9') d = c - '0';
        if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        if (d < 0) continue;
        value = value * 16 + static_cast<unsigned>(d);
        if (++digits == 2) {
            out.push_back(static_cast<char>(value));
            value = 0;
            digits = 0;
        }
    }
    return out;
}

// The programs run with a persistent folder of the test's (one each), never
// /var/lib/snmp.
std::vector<std::string> tool(const std::string& dir, const std::string& name,
                              std::vector<std::string> argv) {
    ::mkdir((dir + "/" + name).c_str(), 0700);
    std::vector<std::string> out = {"/usr/bin/env", "SNMP_PERSISTENT_DIR=" + dir + "/" + name,
                                    "MIBS=", "HOME=" + dir};
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
}

}  // namespace

std::string SnmpTrap::value(const std::string& prefix) const {
    for (const SnmpVar& v : vars)
        if (v.oid.rfind(prefix, 0) == 0) return v.value;
    return "";
}

std::vector<SnmpVar> parse_snmp_vars(const std::string& text) {
    std::vector<SnmpVar> out;
    size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && (text[at] == '\t' || text[at] == '\n' || text[at] == ' ')) ++at;
        if (at >= text.size()) break;
        const size_t space = text.find(' ', at);
        if (text[at] != '.' || space == std::string::npos) {
            at = text.find_first_of("\t\n", at);
            if (at == std::string::npos) break;
            continue;
        }
        SnmpVar v;
        v.oid = text.substr(at + 1, space - at - 1);
        at = space + 1;
        if (at < text.size() && text[at] == '"') {
            const size_t close = text.find('"', at + 1);
            if (close == std::string::npos) break;
            v.value = from_hex(text.substr(at + 1, close - at - 1));
            at = close + 1;
        } else {
            const size_t end = text.find_first_of("\t\n", at);
            v.value = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
            at = end == std::string::npos ? text.size() : end;
            // "No Such Instance ...", "No more variables ...": no value.
            if (v.value.rfind("No ", 0) == 0) continue;
        }
        out.push_back(std::move(v));
    }
    return out;
}

SnmpDaemons::SnmpDaemons(const std::string& dir)
    : dir_(dir), port_(free_udp_port()), trap_port_(free_udp_port()) {
    write_file(dir_ + "/snmpd.conf",
               "agentAddress udp:127.0.0.1:" + std::to_string(port_) +
                   "\n"
                   "master agentx\n"
                   "agentXSocket unix:" + dir_ + "/agentx\n"
                   "agentXPerms 0660 0770\n"
                   "createUser " + kUser + " SHA \"" + kAuth + "\" AES \"" + kPriv + "\"\n"
                   "rouser " + kUser + " priv\n"
                   "trap2sink udp:127.0.0.1:" + std::to_string(trap_port_) + " " + kCommunity + "\n");
    write_file(dir_ + "/snmptrapd.conf", std::string("authCommunity log ") + kCommunity + "\n");
}

SnmpDaemons::~SnmpDaemons() {
    stop_snmpd();
    if (trapd_) {
        trapd_->signal(SIGTERM);
        trapd_->wait(10.0);
    }
}

bool SnmpDaemons::start_snmpd() {
    ::unlink((dir_ + "/agentx").c_str());
    snmpd_ = std::make_unique<Child>(
        tool(dir_, "snmpd-state", {"/usr/sbin/snmpd", "-f", "-C", "-c", dir_ + "/snmpd.conf", "-Lf",
                    dir_ + "/snmpd.log", "-p", dir_ + "/snmpd.pid"}),
        dir_ + "/snmpd.out", dir_ + "/snmpd.err");
    struct stat st {};
    return eventually(
        [&] { return ::stat((dir_ + "/agentx").c_str(), &st) == 0 && !walk("1.3.6.1.2.1.1.3").empty(); },
        10.0);
}

void SnmpDaemons::stop_snmpd() {
    if (!snmpd_) return;
    snmpd_->signal(SIGTERM);
    snmpd_->wait(10.0);
    snmpd_.reset();
}

bool SnmpDaemons::start_trapd() {
    trapd_ = std::make_unique<Child>(
        tool(dir_, "snmptrapd-state", {"/usr/sbin/snmptrapd", "-f", "-C", "-X", "-c", dir_ + "/snmptrapd.conf",
                    "-Lf", dir_ + "/traps.log", "-On", "-Oq", "-Ox", "-Oe", "-Ot", "-F",
                    "TRAP %v\n", "udp:127.0.0.1:" + std::to_string(trap_port_)}),
        dir_ + "/snmptrapd.out", dir_ + "/snmptrapd.err");
    return eventually([&] { return trapd_log().find("NET-SNMP version") != std::string::npos; },
                      10.0);
}

std::vector<SnmpVar> SnmpDaemons::walk(const std::string& oid) const {
    const ProcessResult r = run_process(tool(
        dir_, "tools-state", {"/usr/bin/snmpbulkwalk", "-v3", "-l", "authPriv", "-u", kUser, "-a", "SHA", "-A",
               kAuth, "-x", "AES", "-X", kPriv, "-t", "2", "-r", "1", "-On", "-Oq", "-Ox", "-Oe",
               "-Ot", "udp:127.0.0.1:" + std::to_string(port_), oid}));
    if (r.status != 0) return {};
    return parse_snmp_vars(r.out);
}

std::vector<SnmpTrap> SnmpDaemons::traps() const {
    std::vector<SnmpTrap> out;
    const std::string log = trapd_log();
    size_t at = log.find("TRAP ");
    while (at != std::string::npos) {
        const size_t next = log.find("\nTRAP ", at);
        const std::string record =
            log.substr(at + 5, next == std::string::npos ? std::string::npos : next - at - 5);
        SnmpTrap t;
        t.vars = parse_snmp_vars(record);
        t.trap_oid = t.value("1.3.6.1.6.3.1.1.4.1.0");
        if (!t.trap_oid.empty() && t.trap_oid[0] == '.') t.trap_oid.erase(0, 1);
        out.push_back(std::move(t));
        at = next == std::string::npos ? next : next + 1;
    }
    return out;
}

std::string SnmpDaemons::snmpd_log() const { return read_text(dir_ + "/snmpd.log"); }

}  // namespace testsupport
