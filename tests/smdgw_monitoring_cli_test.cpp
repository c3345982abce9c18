// smdgw feeding monitoring stacks, end to end: --format influx, --prometheus,
// -v, --replay-speed and --count on captures.

#include <gtest/gtest.h>
#include <json/reader.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "host/frame_codec.h"
#include "tests/support/monitoring_formats.h"
#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::run_process;
using testsupport::TempDir;

const char* const kConfig = R"({"devices":[{"name":"plant1","data_id":418}]})";

std::string frame(uint8_t cid1, uint8_t cid2, std::vector<uint8_t> info = {}) {
    return smd::encode_frame(0x20, 1, cid1, cid2, info.data(), info.size());
}

// Two good frames around one with a broken checksum; no round closes.
std::string small_capture() {
    return frame(0x42, 0x44) + "~200142440000FDAE\r" + frame(0x42, 0x00, {0x11});
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream os;
    os << in.rdbuf();
    return os.str();
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

TEST(SmdgwMonitoring, InfluxOutputParsesAndStderrIsPrefixedForTelegraf) {
    TempDir dir;
    const std::string cfg = dir.write_s("gw.json", kConfig);
    const std::string cap = dir.write_s("small.cap", small_capture());
    auto r = run_process({SMDGW_PATH, "--config", cfg, "--replay", cap, "--format", "influx",
                          "--log", (dir.path() / "driver.log").string(), "--get", "out_v"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto points = testsupport::parse_influx(r.out);
    ASSERT_EQ(points.size(), 1u) << r.out;
    EXPECT_EQ(points[0].measurement, "smdgw_stats");
    EXPECT_EQ(points[0].tags.at("device"), "plant1");
    EXPECT_EQ(points[0].fields.at("frame_errors_checksum").text, "1.0");
    EXPECT_EQ(points[0].fields.at("frames_accepted").text, "2.0");
    // The value asked for is information on stderr, not a point.
    EXPECT_EQ(r.err.rfind("I! smdgw: ", 0), 0u) << r.err;

    r = run_process({SMDGW_PATH, "--config", cfg, "--replay", (dir.path() / "none.cap").string(),
                     "--format", "influx"});
    EXPECT_EQ(r.status, 1);
    // Every line on stderr carries a level, the driver's own log included.
    EXPECT_NE(r.err.find("E! smdgw: cannot open capture"), std::string::npos) << r.err;
    std::istringstream err(r.err);
    for (std::string line; std::getline(err, line);) {
        const std::string level = line.substr(0, 3);
        EXPECT_TRUE(level == "E! " || level == "W! " || level == "I! " || level == "D! ") << line;
    }
}

TEST(SmdgwMonitoring, PrometheusFileWithoutRoundsShowsTheDeviceDown) {
    TempDir dir;
    const std::string cfg = dir.write_s("gw.json", kConfig);
    const std::string cap = dir.write_s("small.cap", small_capture());
    const std::string prom = (dir.path() / "smdgw.prom").string();
    auto r = run_process({SMDGW_PATH, "--config", cfg, "--replay", cap, "--prometheus", prom});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto e = testsupport::parse_prometheus(read_file(prom));
    EXPECT_EQ(e.value("veltra_up", {{"device", "plant1"}}), 0);
    EXPECT_EQ(e.value("veltra_frame_errors_total", {{"device", "plant1"}, {"kind", "checksum"}}),
              1);
    EXPECT_EQ(e.value("veltra_frames_accepted_total", {{"device", "plant1"}}), 2);
    EXPECT_FALSE(exists(prom + ".tmp"));

    r = run_process({SMDGW_PATH, "--config", cfg, "--replay", cap, "--prometheus",
                     (dir.path() / "no/such/dir.prom").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no/such/dir.prom"), std::string::npos) << r.err;
}

TEST(SmdgwMonitoring, LineTraceOnStandardError) {
    TempDir dir;
    const std::string cfg = dir.write_s("gw.json", kConfig);
    const std::string cap = dir.write_s("small.cap", small_capture());
    auto r = run_process({SMDGW_PATH, "--config", cfg, "--replay", cap, "-vv", "--log",
                          (dir.path() / "driver.log").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(" plant1 command  ADR=01 CID1=42 CID2=44 INFO=0 200142440000FDAF "
                         "accepted\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(" plant1 rejected: checksum\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("    INFO 11\n"), std::string::npos) << r.err;

    r = run_process({SMDGW_PATH, "--config", cfg, "--replay", cap});
    EXPECT_EQ(r.err.find("accepted"), std::string::npos) << "no trace without -v";
}

TEST(SmdgwMonitoring, ReplaySpeedIsCheckedAndPaces) {
    TempDir dir;
    const std::string cfg = dir.write_s("gw.json", kConfig);
    const std::string cap = dir.write_s("small.cap", small_capture());
    EXPECT_EQ(
        run_process({SMDGW_PATH, "--config", cfg, "--replay", cap, "--replay-speed", "-1"}).status,
        2);
    EXPECT_EQ(
        run_process({SMDGW_PATH, "--config", cfg, "--port", cap, "--replay-speed", "2"}).status, 2)
        << "pacing belongs to replays";
    // 51 bytes at 1000 times the line's speed: about 50 microseconds.
    const auto r =
        run_process({SMDGW_PATH, "--config", cfg, "--replay", cap, "--replay-speed", "1000"});
    EXPECT_EQ(r.status, 0) << r.err;
}

// The recorded plant capture arrives with the capture decoders.
std::string plant_capture() { return std::string(SOURCE_DIR) + "/examples/plant.cap"; }

#define REQUIRE_PLANT_CAPTURE()                                                       \
    if (!exists(plant_capture()))                                                     \
    GTEST_SKIP() << "examples/plant.cap is not in this tree: no capture of complete " \
                    "rounds to replay"

std::vector<Json::Value> json_lines(const std::string& out) {
    std::vector<Json::Value> v;
    std::istringstream in(out);
    std::string line;
    Json::Reader reader;
    while (std::getline(in, line)) {
        Json::Value j;
        if (reader.parse(line, j)) v.push_back(j);
    }
    return v;
}

TEST(SmdgwMonitoringOnPlant, CountStopsAfterNRounds) {
    REQUIRE_PLANT_CAPTURE();
    TempDir dir;
    const std::string cfg = dir.write_s("gw.json", kConfig);
    const auto r = run_process({SMDGW_PATH, "--config", cfg, "--replay", plant_capture(), "--count",
                                "2", "--log", (dir.path() / "driver.log").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    int records = 0;
    for (const Json::Value& j : json_lines(r.out))
        if (j["event"].asString() == "record") ++records;
    EXPECT_EQ(records, 2) << "stops right after the second round";
}

TEST(SmdgwMonitoringOnPlant, InfluxFieldsStayFloatsAcrossRounds) {
    REQUIRE_PLANT_CAPTURE();
    TempDir dir;
    const std::string cfg = dir.write_s("gw.json", kConfig);
    const auto r =
        run_process({SMDGW_PATH, "--config", cfg, "--replay", plant_capture(), "--format", "influx",
                     "--log", (dir.path() / "driver.log").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto points = testsupport::parse_influx(r.out);
    std::map<std::string, int> per_series;
    for (const auto& p : points) {
        ++per_series[p.series()];
        for (const auto& kv : p.fields)
            EXPECT_EQ(kv.second.type, testsupport::InfluxField::Float)
                << p.series() << " " << kv.first;
    }
    EXPECT_GE(per_series["veltra_dc,device=plant1,panel=1"], 2) << r.out;
}

TEST(SmdgwMonitoringOnPlant, PrometheusShowsThePlantUp) {
    REQUIRE_PLANT_CAPTURE();
    TempDir dir;
    const std::string cfg = dir.write_s("gw.json", kConfig);
    const std::string prom = (dir.path() / "smdgw.prom").string();
    const auto r =
        run_process({SMDGW_PATH, "--config", cfg, "--replay", plant_capture(), "--prometheus", prom,
                     "--log", (dir.path() / "driver.log").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto e = testsupport::parse_prometheus(read_file(prom));
    EXPECT_EQ(e.value("veltra_up", {{"device", "plant1"}}), 1);
    EXPECT_GT(e.value("veltra_dc_voltage_volts", {{"device", "plant1"}, {"panel", "1"}}), 40.0);
}

}  // namespace
