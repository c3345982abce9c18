// The NUT server end to end: powersim plays the plant (with its battery) on
// a pseudo-terminal, smdgw follows it with --nut-listen and --http on free
// loopback ports. Debian's upsc lists the devices and shows the values the
// HTTP API shows at the same moment; a socket replays a table of requests,
// the command sequences of Telegraf's and Home Assistant's collectors, and
// the clients the bounds are for.

#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>

#include <cmath>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/nut_client.h"
#include "tests/support/pty_bridge.h"
#include "tests/support/run_process.h"
#include "tests/support/smdgw_run.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace {

using testsupport::Child;
using testsupport::NutClient;
using testsupport::parse_json;
using testsupport::read_text;
using testsupport::run_process;
using testsupport::TempDir;
using testsupport::wait_until;

// plant1 answers at address 1; nothing answers for plant2.
const char* const kConfig =
    R"({"devices":[{"name":"plant1","data_id":418,"address":1,"stale_after_s":STALE,)"
    R"("battery":{"strings_ah":[200],"temperature_value":0},)"
    R"("ups":{"mfr":"Site power","serial":"S1-P1","description":"Row 3 plant"}},)"
    R"({"name":"plant2","data_id":419,"address":2}]})";

// smdgw and powersim on a pseudo-terminal pair, the ports they serve found
// in smdgw's own lines.
class Rig {
   public:
    explicit Rig(std::vector<std::string> gw_extra = {}, const std::string& rounds = "0",
                 const std::string& stale_after = "120") {
        std::string config = kConfig;
        config.replace(config.find("STALE"), 5, stale_after);
        users_ = dir_.write("nut.users", "monuser\nmon pass\n").string();
        ::chmod(users_.c_str(), 0600);
        err_ = (dir_.path() / "gw.err").string();
        out_ = (dir_.path() / "gw.out").string();
        std::vector<std::string> args = {SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config",
                                         dir_.write("gw.json", config).string(), "--port",
                                         line_.end_b(), "--http", "127.0.0.1:0", "--nut-listen",
                                         "127.0.0.1:0", "--nut-users", users_};
        args.insert(args.end(), gw_extra.begin(), gw_extra.end());
        gw_ = std::make_unique<Child>(args, out_, err_);
        sim_ = std::make_unique<Child>(
            std::vector<std::string>{POWERSIM_PATH, "--port", line_.end_a(), "--realtime",
                                     "--rounds", rounds, "--battery-ah", "200",
                                     "--battery-strings", "1", "--fault", "load:50@1-"},
            (dir_.path() / "sim.out").string(), (dir_.path() / "sim.err").string());
        ready_ = wait_until(
            [&] {
                const std::string e = read_text(err_);
                nut_port_ = port_after(e, "UPSes on 127.0.0.1:");
                http_port_ = port_after(e, "serving http://127.0.0.1:");
                return nut_port_ > 0 && http_port_ > 0;
            },
            30);
    }
    ~Rig() {
        sim_->signal(SIGTERM);
        sim_->wait(10);
        gw_->signal(SIGTERM);
        gw_->wait(30);
    }
    bool ready() const { return ready_; }
    int nut() const { return nut_port_; }
    std::string target(const std::string& ups) const {
        return ups + "@127.0.0.1:" + std::to_string(nut_port_);
    }
    std::string log() const { return read_text(err_); }
    std::string out() const { return read_text(out_); }
    Json::Value api(const std::string& path) const {
        httplib::Client c("127.0.0.1", http_port_);
        c.set_read_timeout(10, 0);
        const auto r = c.Get(path);
        return r && r->status == 200 ? parse_json(r->body) : Json::Value();
    }
    std::string metrics() const {
        httplib::Client c("127.0.0.1", http_port_);
        const auto r = c.Get("/metrics");
        return r ? r->body : "";
    }
    // Until plant1's data is current over NUT, and the server has let go of
    // the connections that asked (a close it has not seen yet takes one of
    // the address's places from the test that follows).
    bool live() const {
        return wait_until(
                   [&] {
                       NutClient c(nut_port_);
                       return c.ask("GET VAR plant1 ups.status")
                                  .rfind("VAR plant1 ups.status ", 0) == 0;
                   },
                   60) &&
               wait_until(
                   [&] {
                       return metrics().find("\nsmdgw_nut_connections 0\n") != std::string::npos;
                   },
                   30);
    }
    void stop_sim() {
        sim_->signal(SIGTERM);
        sim_->wait(10);
    }

   private:
    static int port_after(const std::string& text, const std::string& marker) {
        const size_t at = text.find(marker);
        return at == std::string::npos ? 0 : std::atoi(text.c_str() + at + marker.size());
    }

    TempDir dir_;
    testsupport::PtyBridge line_;
    std::string users_, err_, out_;
    std::unique_ptr<Child> gw_, sim_;
    int nut_port_ = 0, http_port_ = 0;
    bool ready_ = false;
};

// A sample of /metrics without labels; -1 when absent.
double metric(const std::string& text, const std::string& name) {
    const size_t at = text.find("\n" + name + " ");
    return at == std::string::npos ? -1.0 : std::atof(text.c_str() + at + name.size() + 2);
}

// upsc's "name: value" lines.
std::map<std::string, std::string> upsc_values(const std::string& text) {
    std::map<std::string, std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const size_t colon = line.find(": ");
        if (colon != std::string::npos) out[line.substr(0, colon)] = line.substr(colon + 2);
    }
    return out;
}

TEST(NutE2e, UpscListsThePlantsAndShowsWhatTheHttpApiShows) {
    Rig rig;
    ASSERT_TRUE(rig.ready()) << rig.log();
    ASSERT_TRUE(rig.live()) << rig.log();
    const auto list = run_process({UPSC_PATH, "-l", "127.0.0.1:" + std::to_string(rig.nut())});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out_lines(), (std::vector<std::string>{"plant1", "plant2"})) << list.out;
    // The same round on both sides: the API before and after upsc agree.
    int compared = 0;
    std::map<std::string, std::string> v;
    const bool done = wait_until(
        [&] {
            const Json::Value before = rig.api("/api/v1/devices/plant1");
            const Json::Value battery_before = rig.api("/api/v1/devices/plant1/battery");
            const auto shown = run_process({UPSC_PATH, rig.target("plant1")});
            const Json::Value after = rig.api("/api/v1/devices/plant1");
            const Json::Value battery_after = rig.api("/api/v1/devices/plant1/battery");
            if (shown.status != 0 || before["record"] != after["record"] ||
                battery_before != battery_after || !before["record"].isObject() ||
                battery_before["state"].asString() == "unknown")
                return false;
            v = upsc_values(shown.out);
            const Json::Value& dc = before["record"]["dc"];
            EXPECT_NEAR(std::stod(v["output.voltage"]), std::fabs(dc["v"].asDouble()), 0.006);
            EXPECT_NEAR(std::stod(v["battery.voltage"]), std::fabs(dc["v"].asDouble()), 0.006);
            EXPECT_NEAR(std::stod(v["output.current"]), std::fabs(dc["i"].asDouble()), 0.06);
            EXPECT_NEAR(std::stod(v["battery.current"]), battery_before["current_a"].asDouble(),
                        0.06);
            EXPECT_NEAR(std::stod(v["battery.capacity"]), battery_before["capacity_ah"].asDouble(),
                        0.06);
            if (battery_before["charge"].isDouble())
                EXPECT_NEAR(std::stod(v["battery.charge"]),
                            100.0 * battery_before["charge"].asDouble(), 0.6);
            else
                EXPECT_EQ(v.count("battery.charge"), 0u);
            return ++compared >= 3;
        },
        60);
    EXPECT_TRUE(done) << compared << " rounds compared\n" << rig.log();
    EXPECT_EQ(v["device.type"], "psu");
    EXPECT_EQ(v["device.mfr"], "Site power");
    EXPECT_EQ(v["device.serial"], "S1-P1");
    EXPECT_EQ(v["battery.voltage.nominal"], "48");
    EXPECT_EQ(v["battery.runtime.low"], "600");
    EXPECT_EQ(v["ups.status"].rfind("OL", 0), 0u) << v["ups.status"];
    // A device never heard from is a UPS without its driver.
    const auto never = run_process({UPSC_PATH, rig.target("plant2")});
    EXPECT_NE(never.status, 0);
    EXPECT_NE(never.err.find("Driver not connected"), std::string::npos) << never.err;
    const auto unknown = run_process({UPSC_PATH, rig.target("nosuch")});
    EXPECT_NE(unknown.err.find("Unknown UPS"), std::string::npos) << unknown.err;
}

struct Expect {
    const char* request;
    const char* answer;  // exact, or the start of it when prefix
    bool prefix = false;
};

TEST(NutE2e, RequestsTelegrafAndHomeAssistantOverTheSocket) {
    Rig rig;
    ASSERT_TRUE(rig.ready()) << rig.log();
    ASSERT_TRUE(rig.live()) << rig.log();
    NutClient c(rig.nut());
    ASSERT_TRUE(c.ok());
    const Expect table[] = {
        {"VER", "smdgw ", true},
        {"NETVER", "1.3\n"},
        {"PROTVER", "1.3\n"},
        {"HELP", "Commands: ", true},
        {"LIST UPS",
         "BEGIN LIST UPS\nUPS plant1 \"Row 3 plant\"\nUPS plant2 \"-48 V DC power system\"\n"
         "END LIST UPS\n"},
        {"LIST VAR plant1", "BEGIN LIST VAR plant1\nVAR plant1 battery.capacity \"200.0\"\n", true},
        {"LIST VAR plant2", "ERR DRIVER-NOT-CONNECTED\n"},
        {"GET VAR plant1 device.serial", "VAR plant1 device.serial \"S1-P1\"\n"},
        {"GET VAR plant1 ups.status", "VAR plant1 ups.status \"OL", true},
        {"GET VAR plant2 ups.status", "ERR DRIVER-NOT-CONNECTED\n"},
        {"GET VAR nosuch ups.status", "ERR UNKNOWN-UPS\n"},
        {"GET VAR plant1 ups.nosuch", "ERR VAR-NOT-SUPPORTED\n"},
        {"GET TYPE plant1 output.voltage", "TYPE plant1 output.voltage NUMBER\n"},
        {"GET DESC plant1 battery.runtime",
         "DESC plant1 battery.runtime \"Battery runtime left (seconds)\"\n"},
        {"GET UPSDESC plant1", "UPSDESC plant1 \"Row 3 plant\"\n"},
        {"GET CMDDESC plant1 load.off", "ERR CMD-NOT-SUPPORTED\n"},
        {"LIST RW plant1", "BEGIN LIST RW plant1\nEND LIST RW plant1\n"},
        {"LIST CMD plant1", "BEGIN LIST CMD plant1\nEND LIST CMD plant1\n"},
        {"LIST ENUM plant1 ups.status",
         "BEGIN LIST ENUM plant1 ups.status\nEND LIST ENUM plant1 ups.status\n"},
        {"SET VAR plant1 ups.id \"x\"", "ERR ACCESS-DENIED\n"},
        {"INSTCMD plant1 load.off", "ERR ACCESS-DENIED\n"},
        {"STARTTLS", "ERR FEATURE-NOT-CONFIGURED\n"},
        {"FROB", "ERR UNKNOWN-COMMAND\n"},
        {"GET", "ERR INVALID-ARGUMENT\n"},
        {"USERNAME monuser", "OK\n"},
        {"PASSWORD \"mon pass\"", "OK\n"},
        {"LOGIN plant1", "OK\n"},
        {"GET NUMLOGINS plant1", "NUMLOGINS plant1 1\n"},
        {"LIST CLIENT plant1",
         "BEGIN LIST CLIENT plant1\nCLIENT plant1 127.0.0.1\nEND LIST CLIENT plant1\n"},
    };
    for (const Expect& e : table) {
        const std::string got = c.ask(e.request);
        if (e.prefix)
            EXPECT_EQ(got.rfind(e.answer, 0), 0u) << e.request << " -> " << got;
        else
            EXPECT_EQ(got, e.answer) << e.request;
    }
    const std::string list_var = c.ask("LIST VAR plant1");
    EXPECT_NE(list_var.find("\nEND LIST VAR plant1\n"), std::string::npos) << list_var;
    EXPECT_EQ(c.ask("LOGOUT"), "OK Goodbye\n");
    EXPECT_TRUE(c.closed_within(10));
    EXPECT_EQ(c.received().find('\r'), std::string::npos);
    // Its LOGIN ended with its connection.
    EXPECT_TRUE(wait_until([&] { return NutClient(rig.nut()).ask("GET NUMLOGINS plant1") == "NUMLOGINS plant1 0\n"; }, 10));

    // Telegraf's inputs.upsd, one gathering: no ERR but for the plant never heard from.
    NutClient t(rig.nut());
    std::string errors;
    const auto ask = [&](const std::string& request) {
        const std::string a = t.ask(request);
        if (a.empty() || a.rfind("ERR ", 0) == 0) errors += request + " -> " + a + "|";
        return a;
    };
    ask("VER");
    ask("NETVER");
    const std::string upses = ask("LIST UPS");
    size_t vars_described = 0;
    for (const std::string ups : {"plant1"}) {
        ASSERT_NE(upses.find("UPS " + ups + " "), std::string::npos);
        ask("LIST CLIENT " + ups);
        ask("LIST CMD " + ups);
        ask("GET UPSDESC " + ups);
        ask("GET NUMLOGINS " + ups);
        std::istringstream vars(ask("LIST VAR " + ups));
        for (std::string line; std::getline(vars, line);) {
            if (line.rfind("VAR ", 0) != 0) continue;
            const std::string name = line.substr(5 + ups.size(), line.find(' ', 5 + ups.size()) - 5 - ups.size());
            ask("GET DESC " + ups + " " + name);
            ask("GET TYPE " + ups + " " + name);
            ++vars_described;
        }
    }
    EXPECT_EQ(t.ask("LIST VAR plant2"), "ERR DRIVER-NOT-CONNECTED\n");
    ask("LOGOUT");
    EXPECT_EQ(errors, "");
    EXPECT_GE(vars_described, 15u);
    EXPECT_EQ(t.received().find('\r'), std::string::npos);

    // Home Assistant's NUT integration, with a user set.
    NutClient h(rig.nut());
    for (const char* request : {"USERNAME monuser", "PASSWORD \"mon pass\"", "LIST UPS",
                                "LIST VAR plant1", "LIST CMD plant1"}) {
        const std::string a = h.ask(request);
        EXPECT_FALSE(a.empty() || a.rfind("ERR ", 0) == 0) << request << " -> " << a;
    }
    EXPECT_EQ(h.received().find('\r'), std::string::npos);
}

TEST(NutE2e, BoundsCloseOverlongLinesSilentClientsAndClientsThatNeverRead) {
    Rig rig({"--nut-max-per-client", "4", "--nut-idle-timeout", "2"});
    ASSERT_TRUE(rig.ready()) << rig.log();
    ASSERT_TRUE(rig.live()) << rig.log();
    // A line over 512 bytes, its LF never sent.
    NutClient longer(rig.nut());
    ASSERT_TRUE(longer.send(std::string(600, 'A')));
    EXPECT_TRUE(longer.closed_within(10));
    // Each part below starts once the server has let go of the connections
    // before it: with 4 places per address, a close it has not seen yet
    // would refuse the next one.
    const auto all_closed = [&] {
        return wait_until([&] { return metric(rig.metrics(), "smdgw_nut_connections") == 0.0; },
                          30);
    };
    // A client that asks and never reads: dropped once its answers pile up.
    ASSERT_TRUE(all_closed()) << rig.metrics();
    {
        NutClient deaf(rig.nut(), 4096);
        std::string burst;
        for (int i = 0; i < 190; ++i) burst += "LIST VAR plant1\n";
        ASSERT_TRUE(deaf.send(burst));
        EXPECT_TRUE(wait_until(
            [&] {
                // More as its allowance returns, until the server has had enough.
                deaf.send("LIST VAR plant1\nLIST VAR plant1\n");
                return metric(rig.metrics(), "smdgw_nut_output_overflow_total") >= 1.0;
            },
            30))
            << rig.metrics();
    }
    // A burst past the allowance is answered in full, only later.
    ASSERT_TRUE(all_closed()) << rig.metrics();
    {
        NutClient eager(rig.nut());
        std::string burst;
        for (int i = 0; i < 260; ++i) burst += "NETVER\n";
        ASSERT_TRUE(eager.send(burst));
        int answered = 0;
        while (answered < 260 && eager.next_line() == "1.3\n") ++answered;
        EXPECT_EQ(answered, 260);
        EXPECT_GE(metric(rig.metrics(), "smdgw_nut_rate_limited_total"), 1.0);
    }
    // Four connections from one address, not five (the ones above gone first).
    ASSERT_TRUE(all_closed()) << rig.metrics();
    std::vector<std::unique_ptr<NutClient>> held;
    for (int i = 0; i < 4; ++i) {
        held.push_back(std::make_unique<NutClient>(rig.nut()));
        EXPECT_EQ(held.back()->ask("NETVER"), "1.3\n");
    }
    NutClient fifth(rig.nut());
    EXPECT_TRUE(fifth.closed_within(10));
    // Silent ones go after the idle timeout, and make room.
    for (auto& c : held) EXPECT_TRUE(c->closed_within(20));
    held.clear();
    NutClient again(rig.nut());
    EXPECT_EQ(again.ask("NETVER"), "1.3\n");
    const std::string m = rig.metrics();
    EXPECT_EQ(metric(m, "smdgw_nut_lines_too_long_total"), 1.0) << m;
    EXPECT_GE(metric(m, "smdgw_nut_connections_over_client_limit_total"), 1.0) << m;
    EXPECT_GE(metric(m, "smdgw_nut_idle_closed_total"), 4.0) << m;
    EXPECT_NE(rig.log().find("request line over 512 bytes"), std::string::npos) << rig.log();
}

TEST(NutE2e, APlantGoneQuietAnswersDataStale) {
    Rig rig({}, "0", "3");
    ASSERT_TRUE(rig.ready()) << rig.log();
    ASSERT_TRUE(rig.live()) << rig.log();
    rig.stop_sim();
    EXPECT_TRUE(wait_until(
        [&] { return NutClient(rig.nut()).ask("GET VAR plant1 ups.status") == "ERR DATA-STALE\n"; },
        30))
        << rig.log();
    const auto stale = run_process({UPSC_PATH, rig.target("plant1")});
    EXPECT_NE(stale.status, 0);
    EXPECT_NE(stale.err.find("Data stale"), std::string::npos) << stale.err;
    // What describes a variable does not go stale.
    EXPECT_EQ(NutClient(rig.nut()).ask("GET TYPE plant1 ups.status"),
              "TYPE plant1 ups.status STRING:512\n");
}

// With a certificate, STARTTLS switches a connection to TLS: upsc takes it
// (it tries STARTTLS first) and reads as before; a client that sends on
// before the answer is not speaking the protocol and is closed without it.
TEST(NutE2e, StartTlsWithACertificate) {
    TempDir keys;
    const std::string cert = (keys.path() / "cert.pem").string();
    const std::string key = (keys.path() / "key.pem").string();
    const auto made = run_process({OPENSSL_PATH, "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                   "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key,
                                   "-out", cert, "-days", "2", "-subj", "/CN=localhost"});
    ASSERT_EQ(made.status, 0) << made.err;
    ::chmod(key.c_str(), 0600);
    Rig rig({"--nut-tls-cert", cert, "--nut-tls-key", key});
    ASSERT_TRUE(rig.ready()) << rig.log();
    ASSERT_TRUE(rig.live()) << rig.log();
    const auto shown = run_process({UPSC_PATH, rig.target("plant1"), "device.serial"});
    EXPECT_EQ(shown.out, "S1-P1\n") << shown.err;
    EXPECT_NE(shown.err.find("SSL handshake done successfully"), std::string::npos) << shown.err;
    EXPECT_GE(metric(rig.metrics(), "smdgw_nut_tls_started_total"), 1.0);
    NutClient hasty(rig.nut());
    ASSERT_TRUE(hasty.send("STARTTLS\nNETVER\n"));
    EXPECT_TRUE(hasty.closed_within(10));
    EXPECT_EQ(hasty.received(), "");
    EXPECT_EQ(metric(rig.metrics(), "smdgw_nut_tls_failed_total"), 1.0);
    // A key others may read is refused before anything runs.
    ::chmod(key.c_str(), 0644);
    const auto open_key = run_process({SMDGW_PATH, "--config", cert, "--replay", cert,
                                       "--nut-listen", "--nut-tls-cert", cert, "--nut-tls-key", key});
    EXPECT_EQ(open_key.status, 2);
    EXPECT_NE(open_key.err.find("--nut-tls-key " + key + ": others may read or change it"),
              std::string::npos)
        << open_key.err;
}

TEST(NutE2e, OptionsAndConfigurationErrorsNameTheirInput) {
    TempDir dir;
    const std::string cfg = dir.write("gw.json", R"({"devices":[{"name":"plant1","data_id":418}]})").string();
    const std::string spaced =
        dir.write("spaced.json", R"({"devices":[{"name":"plant 1","data_id":418}]})").string();
    const std::string users = dir.write("nut.users", "monuser\nsecret\n").string();
    ::chmod(users.c_str(), 0644);
    const auto open_users = run_process({SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config", cfg,
                                         "--replay", cfg, "--nut-listen", "--nut-users", users});
    EXPECT_EQ(open_users.status, 2);
    EXPECT_NE(open_users.err.find("--nut-users " + users + ": others may read or change it"),
              std::string::npos)
        << open_users.err;
    EXPECT_EQ(open_users.err.find("secret"), std::string::npos) << open_users.err;
    const auto bad_address = run_process({SMDGW_PATH, "--config", cfg, "--replay", cfg,
                                          "--nut-listen", "gw.example:3493"});
    EXPECT_EQ(bad_address.status, 2);
    EXPECT_NE(bad_address.err.find("--nut-listen \"gw.example:3493\""), std::string::npos)
        << bad_address.err;
    const auto name = run_process({SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config", spaced,
                                   "--replay", spaced, "--nut-listen", "127.0.0.1:0"});
    EXPECT_EQ(name.status, 2);
    EXPECT_NE(name.err.find("device \"plant 1\" cannot be a UPS name"), std::string::npos)
        << name.err;
    ::chmod(users.c_str(), 0600);
    const auto check = run_process({SMDGW_PATH, "--plugin", PLUGIN_PATH, "--config", cfg,
                                    "--replay", cfg, "--check-config", "--nut-listen", "0.0.0.0",
                                    "--nut-users", users});
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_NE(check.out.find("nut: NUT server on 0.0.0.0:3493: plant1@0.0.0.0; LOGIN as "
                             "\"monuser\" (" + users + "); at most 64 connections, 16 per "
                             "address, idle 300 s\n"),
              std::string::npos)
        << check.out << check.err;
}

}  // namespace
