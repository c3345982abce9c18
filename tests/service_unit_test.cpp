// The packaged systemd unit as systemd reads it, and its defaults: the
// driver's log off unless the instance's env file turns it on.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"

namespace {

std::string unit_text() {
    std::ifstream in(std::string(SOURCE_DIR) + "/packaging/smdgw@.service");
    std::ostringstream os;
    os << in.rdbuf();
    // As cmake --install fills it in, with the smdgw of this build.
    return std::regex_replace(os.str(), std::regex("@SMDGW_BINDIR@"),
                              std::filesystem::path(SMDGW_PATH).parent_path().string());
}

TEST(ServiceUnit, SystemdAcceptsItAndTheDriverLogIsOffByDefault) {
    const std::string unit = unit_text();
    // The log is off: no --log on the command line, an empty SMDGW_LOG_ARGS,
    // and the line that turns it on is shown where people look.
    std::smatch exec;
    ASSERT_TRUE(std::regex_search(unit, exec, std::regex("\nExecStart=([^\n]*)")));
    EXPECT_EQ(exec[1].str().find("--log"), std::string::npos) << exec[1];
    EXPECT_NE(unit.find("\nEnvironment=SMDGW_LOG_ARGS=\n"), std::string::npos);
    EXPECT_NE(unit.find("#   SMDGW_LOG_ARGS=--log /var/log/smdgw/site1.log"), std::string::npos);

    if (!std::filesystem::exists("/usr/bin/systemd-analyze"))
        GTEST_SKIP() << "systemd-analyze is not installed";
    testsupport::TempDir dir;
    const std::string path = dir.write_s("smdgw@site1.service", unit);
    const auto r =
        testsupport::run_process({"/usr/bin/systemd-analyze", "verify", "--man=no", path});
    EXPECT_EQ(r.status, 0) << r.err;
    // systemd also says what it ignores with status 0.
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");

    // Hardened as systemd rates it: 2.5 or lower ("OK").
    const auto security = testsupport::run_process(
        {"/usr/bin/systemd-analyze", "security", "--offline=true", "--no-pager", path});
    std::smatch level;
    ASSERT_TRUE(std::regex_search(security.out, level,
                                  std::regex("Overall exposure level for [^:]*: ([0-9.]+)")))
        << security.out << security.err;
    EXPECT_LE(std::stod(level[1].str()), 2.5) << security.out;
}

// A secret option that names a bare credential reads it from the folder
// systemd hands the service ($CREDENTIALS_DIRECTORY), under the one rule of
// secret files; a path stays a path.
TEST(ServiceUnit, SecretsComeAsCredentials) {
    testsupport::TempDir dir;
    const std::string creds = (dir.path() / "credentials").string();
    std::filesystem::create_directory(creds);
    testsupport::TempDir conf;
    const std::string config = conf.write_s(
        "gw.json", R"({"devices":[{"name":"plant1","data_id":418,"address":1}]})");
    std::ofstream(creds + "/control.token") << "a-secret-of-enough-length\n";
    std::filesystem::permissions(creds + "/control.token", std::filesystem::perms::owner_read);
    const std::vector<std::string> args = {
        "/usr/bin/env", "CREDENTIALS_DIRECTORY=" + creds, SMDGW_PATH, "--check-config",
        "--config", config, "--port", "tcp:127.0.0.1:4001", "--http", "127.0.0.1:0",
        "--http-control-token", "control.token"};
    auto r = testsupport::run_process(args);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    // Others may read it: refused, naming the credential.
    std::filesystem::permissions(creds + "/control.token", std::filesystem::perms::others_read,
                                 std::filesystem::perm_options::add);
    r = testsupport::run_process(args);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("control.token: others may read or change it"), std::string::npos)
        << r.err;
    // Without the folder a bare name is a file of the working directory, not found here.
    std::vector<std::string> plain(args.begin() + 2, args.end());
    r = testsupport::run_process(plain);
    EXPECT_EQ(r.status, 2) << r.err;
}

}  // namespace
