// The packaged systemd unit as systemd reads it, and its defaults: the
// driver's log off unless the instance's env file turns it on.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

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
}

}  // namespace
