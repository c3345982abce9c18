// smdgw's --snmp-* options: AgentX addresses, MIB roots and the command line
// as the gateway reads it (apart from the other SNMP parts, which need no
// CLI11, a heavy header to compile).

#include <CLI/CLI.hpp>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/snmp/snmp_options.h"

namespace {

using namespace smdgw::snmp;
using testsupport::TempDir;

TEST(SnmpOptions, AddressesRootsAndTheCommandLine) {
    struct AddressCase {
        std::string text;
        bool ok;
    };
    for (const AddressCase& c : std::vector<AddressCase>{
             {"/var/agentx/master", true},
             {"unix:/run/snmpd/agentx", true},
             {"tcp:127.0.0.1:705", true},
             {"tcp:[::1]:705", true},
             {"tcp:snmpd.local:705", true},
             {"agentx", false},               // relative
             {"unix:relative/path", false},
             {"tcp:127.0.0.1", false},        // no port
             {"tcp:127.0.0.1:0", false},
             {"tcp:127.0.0.1:70000", false},
             {"tcp:[::1:705", false},
             {"/" + std::string(120, 'a'), false},  // longer than sun_path
         }) {
        std::string error;
        EXPECT_EQ(parse_agentx_address(c.text, error), c.ok) << c.text << ": " << error;
        if (!c.ok) {
            EXPECT_NE(error.find("--snmp-agentx"), std::string::npos) << error;
        }
    }
    struct RootCase {
        const char* text;
        bool ok;
    };
    for (const RootCase& c : std::vector<RootCase>{
             {"1.3.6.1.4.1.8072.9999.9999.1", true},
             {".1.3.6.1.4.1.99999", true},
             {"1.3.6.1.4.1.99999.4294967295", true},
             {"1.3.6.1.4.1.99999.4294967296", false},
             {"1.3.6.1.4.1.99999.12345678901", false},
             {"1..3", false},
             {"1.3.6.", false},
             {"1.3.-6", false},
             {"", false},
             {"1", false},                       // one arc
             {"3.1", false},                     // no such first arc
             {"1.40.1", false},
             {"1.3.6.1.2.1.47", false},          // holds entPhysicalTable
             {"1.3.6.1.2.1.99.1.1.1.4", false},  // inside entPhySensorTable
         }) {
        Oid oid;
        std::string error;
        const bool ok = parse_oid(c.text, oid, error) && check_root(oid, error);
        EXPECT_EQ(ok, c.ok) << c.text << ": " << error;
    }

    // The command line: the address may be left out, the others need it.
    TempDir dir;
    const std::string state = dir.path().string();
    struct LineCase {
        std::vector<std::string> args;
        bool ok;
        std::string said;  // in the message, or the address taken
    };
    for (const LineCase& c : std::vector<LineCase>{
             {{"--snmp-agentx", "--snmp-state-dir", state}, true, "/var/agentx/master"},
             {{"--snmp-agentx", "tcp:127.0.0.1:705", "--snmp-state-dir", state}, true,
              "tcp:127.0.0.1:705"},
             {{"--snmp-agentx"}, false, "--snmp-state-dir DIR, or --history FILE"},
             {{"--snmp-agentx", "--snmp-state-dir", state + "/missing"}, false, "is not a folder"},
             {{"--snmp-heartbeat", "5"}, false, "--snmp-heartbeat"},
             {{"--snmp-agentx", "--snmp-state-dir", state, "--snmp-ping", "0"}, false,
              "--snmp-ping"},
             {{"--snmp-agentx", "--snmp-state-dir", state, "--snmp-root", "1.3.x"}, false,
              "is not a numeric OID"},
         }) {
        std::vector<std::string> words = {"smdgw"};
        words.insert(words.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(&w[0]);
        std::ostringstream log;
        smdgw::LogSettings settings;
        settings.to = &log;
        const smdgw::LogSettings saved = smdgw::set_log(settings);
        CLI::App app;
        SnmpOptions o;
        add_snmp_options(app, o);
        bool ok = true;
        try {
            app.parse(static_cast<int>(argv.size()), argv.data());
            ok = o.check("");
        } catch (const CLI::ParseError& e) {
            log << e.what();
            ok = false;
        }
        smdgw::set_log(saved);
        EXPECT_EQ(ok, c.ok) << log.str();
        if (c.ok) {
            EXPECT_TRUE(o.enabled());
            EXPECT_EQ(o.address, c.said);
            EXPECT_EQ(o.sequence_file, state + "/snmp-notification-sequence");
            EXPECT_EQ(o.persistent_dir, state + "/net-snmp");
        } else {
            EXPECT_NE(log.str().find(c.said), std::string::npos) << log.str();
        }
    }
}

}  // namespace
