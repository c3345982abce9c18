// smdgw with threshold files: files are found relative to smdgw's working
// directory, a device whose file is unusable is reported and the others run.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/driver_fixture.h"
#include "tests/support/smdgw_run.h"
#include "tests/support/temp_dir.h"
#include "tools/smdgw/core/config.h"

namespace {

struct RunResult {
    int status;
    std::string out;
    std::string err;
    std::string log;
};

// Runs smdgw in cwd with the configuration, an empty capture, --get out_v and --reset.
RunResult run_smdgw(const std::filesystem::path& cwd, const std::string& config) {
    testsupport::TempDir io;
    const auto r = testsupport::run_smdgw(
        {"--config", config, "--replay", io.write_s("empty.cap", ""), "--log",
         (io.path() / "log.txt").string(), "--get", "out_v", "--reset"},
        cwd.string());
    RunResult out;
    out.status = r.status;
    out.out = r.out;
    out.err = r.err;
    out.log = testsupport::read_text((io.path() / "log.txt").string());
    return out;
}

TEST(SmdgwThresholds, UnusableFileIsAConfigurationErrorNamingTheFile) {
    testsupport::TempDir dir;
    dir.write("ini/7.ini", "[ALARM]\na=1\n");
    dir.write("ini/8.ini", "[AI]\ndc.v=419401002001,DC bus voltage\n");
    dir.write("gw.json",
              R"({"devices": [{"name": "bad", "data_id": 7, "address": 1},)"
              R"( {"name": "good", "data_id": 8, "address": 2}]})");
    RunResult r = run_smdgw(dir.path(), "gw.json");
    EXPECT_EQ(2, r.status);
    EXPECT_NE(std::string::npos,
              r.err.find("smdgw: device \"bad\": initialisation failed: threshold file "
                         "./ini/7.ini (\"appSetting\"/\"b_mode\" 1): No such node (AI)"))
        << r.err;
    EXPECT_NE(std::string::npos, r.err.find("1 device cannot be initialised; the gateway does not "
                                            "start"))
        << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;

    // Mended, both devices run; the good one read its file.
    dir.write("ini/7.ini", "[AI]\ndc.v=419401002001,DC bus voltage\n");
    r = run_smdgw(dir.path(), "gw.json");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos,
              r.out.find(R"({"device":"good","error":"数据未就绪","event":"value","key":"out_v"})"))
        << r.out;
    EXPECT_NE(std::string::npos, r.log.find("parse ini/yaml filename:./ini/8.ini\n"
                                            "AI 8\n"
                                            "first:dc.v second:419401002001 name:DC bus voltage\n"))
        << r.log;
    EXPECT_NE(std::string::npos, r.log.find("pmbuspower_419 data_id:8 reset called\n"));
}

TEST(SmdgwThresholds, ExampleConfigurationsLoad) {
    const std::filesystem::path examples =
        std::filesystem::path(SOURCE_DIR) / "examples/thresholds";
    const RunResult mode5 = run_smdgw(examples, "gateway-mode5.json");
    EXPECT_EQ(0, mode5.status) << mode5.err;
    EXPECT_NE(std::string::npos, mode5.log.find("InitSetting 418 b_mode_:5\n"));
    const RunResult mode1 = run_smdgw(examples, "gateway-mode1.json");
    EXPECT_EQ(0, mode1.status) << mode1.err;
    EXPECT_NE(std::string::npos, mode1.log.find("parse ini/yaml filename:./ini/419.ini\nAI 419\n"));
}

TEST(SmdgwThresholds, ExampleMode5Tables) {
    const auto cfg =
        smdgw::load_config(std::string(SOURCE_DIR) + "/examples/thresholds/gateway-mode5.json");
    testing::internal::CaptureStdout();
    testsupport::DriverHarness<> h(cfg.devices.at(0).entry);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ThresholdEntry("419401001", 56.5f, 55.0f, false, 2), h.drv->up_map_["dc.v"]);
    EXPECT_EQ(ThresholdEntry("419401003", 45.0f, 46.5f, false, 2), h.drv->low_map_["dc.v"]);
    EXPECT_EQ(ThresholdEntry("419401004", 43.2f, 46.5f, false, 1), h.drv->low2_map_["dc.v"]);
    EXPECT_EQ(ThresholdEntry("419402001", 300.0f, 280.0f, false, 3), h.drv->up_map_["dc.i"]);
    EXPECT_EQ(1u, h.drv->up_map_.count("channels[0].out_i"));
    EXPECT_TRUE(h.drv->up2_map_.empty());
}

}  // namespace
