// smdgw --check-config on configurations as users get them wrong: each case
// must name the key (and the value) and give the exit status the service's
// restart policy relies on.

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/run_process.h"
#include "tests/support/smdgw_run.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::run_smdgw;
using testsupport::TempDir;

struct Case {
    const char* what;
    const char* config;  // the devices array's text
    int status;
    const char* expect;  // on standard error
};

const Case kCases[] = {
    // A misspelt host key would silently change what the gateway does: the
    // device would follow every address, every configured level would be off.
    {"misspelt address", R"([{"name":"a","data_id":1,"adress":1}])", 2,
     R"(device "a": unknown key "adress" (did you mean address?))"},
    {"misspelt alarm levels", R"([{"name":"a","data_id":1,"alarm_level":{"x":2}}])", 2,
     R"(device "a": unknown key "alarm_level" (did you mean alarm_levels?))"},
    {"misspelt device list beside the devices", R"([{"name":"a","data_id":1}],"devics":[])", 2,
     R"(unknown key "devics" (did you mean devices?))"},
    {"trailing comma", R"([{"name":"a","data_id":1},])", 2,
     R"(not valid JSON: line 1, column 37: a comma before "]" (trailing commas are not JSON))"},
    {"comment after a value", "[{\"name\":\"a\",\"data_id\":1 // site 4\n}]", 2,
     R"(not valid JSON: line 1, column 37: a comment (JSON has no comments))"},
    {"option given as a word", R"([{"name":"a","data_id":1,"appSetting":{"has_dc":"yes"}}])", 0,
     R"("appSetting"/"has_dc" is "yes", not a number; the driver reads it as 0 (off))"},
    {"number with a unit", R"([{"name":"a","data_id":1,"appSetting":{"ac_line":"2 inputs"}}])", 0,
     R"("appSetting"/"ac_line" is "2 inputs", not a number; the driver reads it as 2)"},
    {"an address left out merges two plants",
     R"([{"name":"a","data_id":1,"address":1},{"name":"b","data_id":2}])", 2,
     R"(device "b": takes every address on port --port /dev/ttyS9, so the frames of device "a" too)"},
    {"misspelt threshold mode", R"([{"name":"a","data_id":1,"appSetting":{"bmode":2}}])", 0,
     R"(unknown key "bmode" in "appSetting" (did you mean b_mode?); the driver does not read it (an error with --strict))"},
    {"option at the wrong level", R"([{"name":"a","data_id":1,"b_mode":2}])", 2,
     R"(unknown key "b_mode" (it belongs in "appSetting"))"},
    {"option of the wrong type", R"([{"name":"a","data_id":1,"appSetting":{"has_ac":[1]}}])", 2,
     R"(device "a": "appSetting"/"has_ac" must be a number or a text (is [1]))"},
    {"no threshold mode", R"([{"name":"a","data_id":1,"appSetting":{"b_mode":4}}])", 0,
     R"("appSetting"/"b_mode" 4 is no threshold mode)"},
    {"alarm level out of range", R"([{"name":"a","data_id":1,"alarm_levels":{"x":1e20}}])", 2,
     R"("alarm_levels"/"x" must be a whole alarm level 0 to 2147483647 (is 1e+20))"},
    {"threshold out of range", R"([{"name":"a","data_id":1,"alarm_thresholds":{"x":1e300}}])", 2,
     R"("alarm_thresholds"/"x" is out of range for a threshold (is 1e+300))"},
    {"misspelt limit", R"([{"name":"a","data_id":1,"limits":{"x":{"uper":5}}}])", 2,
     R"(unknown key "uper" in "limits"/"x" (did you mean upper?))"},
    {"report flag as a number",
     R"([{"name":"a","data_id":1,"reports":{"x":{"change_enabled":1}}}])", 2,
     R"("reports"/"x"/"change_enabled" must be true or false (is 1))"},
    {"threshold entry of the wrong type",
     R"([{"name":"a","data_id":1,"appSetting":{"b_mode":5},"thresholdSetting":{"v":{"UpValue":[1]}}}])",
     2, R"("thresholdSetting"/"v"/"UpValue" must be a number or a text (is [1]))"},
    {"same name twice",
     R"([{"name":"a","data_id":1,"address":1},{"name":"a","data_id":2,"address":2}])", 2,
     R"(device "a": is configured twice)"},
    {"same port and address",
     R"([{"name":"a","data_id":1,"address":3},{"name":"b","data_id":2,"address":3}])", 2,
     R"(device "b": the same port (--port /dev/ttyS9) and address 3 as device "a")"},
    {"key given twice", R"([{"name":"a","data_id":1,"address":1,"address":2}])", 2,
     R"(Duplicate key: 'address')"},
    {"data ID as text", R"([{"name":"a","data_id":"418"}])", 2,
     R"(device "a": "data_id" must be an unsigned integer (is "418"))"},
    {"address out of range", R"([{"name":"a","data_id":1,"address":256}])", 2,
     R"(device "a": "address" must be an integer 0 to 255 (is 256))"},
};

TEST(CheckConfig, EachMistakeNamesItsKeyAndGetsItsExitStatus) {
    TempDir dir;
    for (const Case& c : kCases) {
        const std::string cfg =
            dir.write_s("gw.json", std::string(R"({"devices":)") + c.config + "}");
        const auto r = run_smdgw({"--check-config", "--config", cfg, "--port", "/dev/ttyS9"},
                                 dir.path().string());
        EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.err;
        EXPECT_NE(
            r.err.find(std::string("smdgw: ") + (c.status == 0 ? "warning: " : "") + cfg + ": "),
            std::string::npos)
            << c.what << ": the file is named\n"
            << r.err;
        EXPECT_NE(r.err.find(c.expect), std::string::npos) << c.what << "\n" << r.err;
        // A configuration that would start lists its devices.
        if (c.status == 0) {
            EXPECT_FALSE(r.out.empty()) << c.what;
        }
    }
    // --strict refuses what the driver would not read.
    const std::string cfg = dir.write_s(
        "strict.json", R"({"devices":[{"name":"a","data_id":1,"appSetting":{"bmode":2}}]})");
    const auto r =
        run_smdgw({"--check-config", "--strict", "--config", cfg, "--port", "/dev/ttyS9"},
                  dir.path().string());
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("smdgw: " + cfg +
                         R"(: device "a": unknown key "bmode" in "appSetting" )"
                         R"((did you mean b_mode?); the driver does not read it (--strict))"),
              std::string::npos)
        << r.err;
}

TEST(CheckConfig, FilesThatAreNoConfigurationGetTheirOwnMessage) {
    TempDir dir;
    auto r = run_smdgw({"--check-config", "--config", dir.path().string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("is a directory, not a configuration file"), std::string::npos) << r.err;

    r = run_smdgw({"--check-config", "--config",
                   dir.write_s("latin1.json", "{\"devices\":[{\"name\":\"Gen\xe8ve\"}]}")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("not UTF-8 text at line 1, column 25 (byte 0xE8)"), std::string::npos)
        << r.err;

    r = run_smdgw({"--check-config", "--config", (dir.path() / "nope.json").string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("cannot open the configuration file: No such file or directory"),
              std::string::npos)
        << r.err;
}

TEST(CheckConfig, ThresholdFilesAndPortsAreCheckedWithoutOpeningAnything) {
    TempDir dir;
    dir.write("ini/7.ini", "[ALARM]\na=1\n");
    dir.write("ini/8.ini", "[AI]\ndc.v=419401002001,DC bus voltage\n");
    const std::string cap = dir.write_s("plant.cap", "");
    const std::string bad = dir.write_s(
        "bad.json", R"({"devices":[{"name":"bad","data_id":7,"address":1,"port":"/dev/ttyS9"},)"
                    R"({"name":"good","data_id":8,"address":2,"port":")" +
                        cap + R"("}]})");
    auto r = run_smdgw({"--check-config", "--config", bad}, dir.path().string());
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("device \"bad\": initialisation failed: threshold file ./ini/7.ini "
                         "(\"appSetting\"/\"b_mode\" 1): No such node (AI)"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("device \"good\": \"port\": port " + cap +
                         " is a regular file; use --replay for capture files"),
              std::string::npos)
        << r.err;

    dir.write("ini/7.ini", "[AI]\ndc.v=419401002001,DC bus voltage\n");
    const std::string good = dir.write_s(
        "good.json",
        R"({"devices":[{"name":"p1","data_id":7,"address":1,"alarm_levels":{"419601001001":2}},)"
        R"({"name":"p2","data_id":9,"address":2,"port":"tcp:127.0.0.1:4001","appSetting":{"b_mode":2}}]})");
    r = run_smdgw({"--check-config", "--config", good, "--port", "/dev/ttyUSB7"},
                  dir.path().string());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "p1: data_id 7, port /dev/ttyUSB7 (--port), address 1, role listen, threshold mode "
              "1, threshold file ./ini/7.ini read, 1 alarm levels configured\n"
              "p2: data_id 9, port tcp:127.0.0.1:4001, address 2, role listen, threshold mode 2 "
              "(fixed rules), 0 alarm levels configured\n");
    // Without --port the device that names none is the error.
    r = run_smdgw({"--check-config", "--config", good}, dir.path().string());
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("device \"p1\" names no \"port\" and no --port is given"),
              std::string::npos)
        << r.err;
}

struct PortCase {
    const char* what;
    const char* port;  // in the test's folder unless absolute or tcp:
    int status;
    const char* expect;  // on standard output or standard error
};

// Each port is looked at as the service's user (a dynamic user in group
// dialout) would open it; nothing is opened.
const PortCase kPortCases[] = {
    {"adapter not plugged in yet", "ttyUSB0", 0,
     "ttyUSB0 does not exist (yet); smdgw waits for it and opens it when it appears"},
    {"serial server", "tcp:127.0.0.1:4001", 0, "port tcp:127.0.0.1:4001 (--port), address 1"},
    {"port number beyond 65535", "tcp:127.0.0.1:99999", 2,
     "--port: port \"tcp:127.0.0.1:99999\": the port is not a number from 1 to 65535 (tcp:HOST:PORT)\n"},
    {"FIFO of group dialout", "fifo-dialout", 0,
     "fifo-dialout: FIFO, owner root, group dialout, mode prw-rw----; the service's user (a "
     "dynamic user in group dialout) can open it"},
    {"FIFO only root may open", "fifo-root", 2,
     "fifo-root: FIFO, owner root, group root, mode prw-------; the service's user (a dynamic "
     "user in group dialout) cannot open it: give it group dialout and mode 0660"},
    {"not a terminal", "/dev/null", 2,
     "port /dev/null: device that is no terminal, owner root, group root, mode crw-rw-rw-; not a "
     "serial port: name the serial port itself"},
    {"a folder", "serial", 2, "serial: directory, owner root"},
};

TEST(CheckConfig, EachPortIsJudgedForTheServicesUserWithoutOpeningIt) {
    if (::geteuid() != 0) GTEST_SKIP() << "the cases give files to root and to group dialout";
    TempDir dir;
    const std::string fifo_dialout = (dir.path() / "fifo-dialout").string();
    const std::string fifo_root = (dir.path() / "fifo-root").string();
    ASSERT_EQ(::mkfifo(fifo_dialout.c_str(), 0660), 0);
    ASSERT_EQ(::mkfifo(fifo_root.c_str(), 0600), 0);
    const group* dialout = ::getgrnam("dialout");
    ASSERT_NE(dialout, nullptr);
    ASSERT_EQ(::chown(fifo_dialout.c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(::chmod(fifo_dialout.c_str(), 0660), 0);
    std::filesystem::create_directory(dir.path() / "serial");
    const std::string cfg =
        dir.write_s("gw.json", R"({"devices":[{"name":"a","data_id":1,"address":1}]})");
    for (const PortCase& c : kPortCases) {
        const std::string port = c.port[0] == '/' || std::string(c.port).rfind("tcp:", 0) == 0
                                     ? c.port
                                     : (dir.path() / c.port).string();
        const auto r = run_smdgw({"--check-config", "--config", cfg, "--port", port});
        EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.err;
        EXPECT_NE((r.out + r.err).find(c.expect), std::string::npos) << c.what << "\n"
                                                                     << r.out << r.err;
    }
}

}  // namespace

// Each service of the table writes its own line, whether or not one before it
// found a fault: a broken SNMP sequence file hides neither the NUT nor the
// Modbus check.
TEST(CheckConfig, EveryServiceSaysItsLineEvenAfterAnotherFailed) {
    TempDir dir;
    const std::filesystem::path state = dir.path() / "snmp";
    std::filesystem::create_directory(state);
    std::ofstream(state / "snmp-notification-sequence") << "not a number\n";
    const auto r = run_smdgw(
        {"--check-config", "--config", std::string(SOURCE_DIR) + "/examples/gateway.json",
         "--port", "/dev/ttyS9", "--snmp-agentx", "tcp:127.0.0.1:1", "--snmp-state-dir",
         state.string(), "--nut-listen", "127.0.0.1:3493", "--modbus-listen", "127.0.0.1:1502"},
        dir.path().string());
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("smdgw: snmp: " + (state / "snmp-notification-sequence").string() +
                         ": not a notification sequence file"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("nut: NUT server on 127.0.0.1:3493: plant1@127.0.0.1"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("modbus: Modbus TCP server on 127.0.0.1:1502: plant1 unit 1"),
              std::string::npos)
        << r.out;
}
