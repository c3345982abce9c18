// The regression net under every change to smdgw: replays of two captures,
// every output compared byte for byte with the goldens in tests/golden/.
//
//   plant   examples/plant.cap with examples/gateway.json
//   faults  tests/golden/faults.cap (below) with tests/golden/faults.json: a
//           device with the fixed alarm rules and one with INI limits and an
//           analog report, both on address 1, run from examples/thresholds so
//           that ./ini/419.ini is found
//
// Per capture three runs: JSON lines with --trace-host (also the line trace
// on stderr, the driver's log, the Prometheus file, the after-input actions
// in command-line order), --format text, --format influx (for the plant the
// driver's log relayed to stderr with Telegraf prefixes). --clock-start fixes the host
// clock and TZ=UTC its local time, so nothing differs from run to run.
//
// A change that alters an output on purpose regenerates the goldens and
// commits them with the change:
//
//   SMD_UPDATE_GOLDEN=1 build/unit_tests --gtest_filter='GoldenOutput*'
//   git diff tests/golden/
//
// On a mismatch the output that differs is left in the build folder
// (tests/golden-actual/) for a diff against tests/golden/.
//
// faults.cap was made by (one command)
//   powersim --out tests/golden/faults.cap --seed 14 --rounds 12 --modules 4
//     --fault breaker-trip:1@3-5 --fault fuse:2:3@4-6 --fault module-fault:2@5-7
//     --fault dc-low:42@8-9 --fault mains-fail:2@10 --corrupt 0.04 --noise 0.1 --drop 0.03
// (12 rounds on the line, 9 complete; 11 frames with a bad checksum, stray bytes)

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/text_diff.h"

namespace {

namespace fs = std::filesystem;

const fs::path kSource = SOURCE_DIR;
const fs::path kGolden = kSource / "tests/golden";
const fs::path kActual = GOLDEN_ACTUAL_DIR;
const char* const kClockStart = "2026-01-01T00:00:00";

struct Capture {
    const char* name;
    const char* capture;  // below the source folder
    const char* config;
    const char* cwd;
    bool relay_log;  // --format influx relays the driver's log to stderr (--log -)
};

const Capture kCaptures[] = {
    {"plant", "examples/plant.cap", "examples/gateway.json", "", true},
    {"faults", "tests/golden/faults.cap", "tests/golden/faults.json", "examples/thresholds", false},
};

// What one run writes: standard output, standard error and, when asked
// for, the driver's log and the Prometheus file.
struct Outputs {
    std::string out, err, log, prom;
};

Outputs run(const Capture& c, const std::vector<std::string>& extra, bool log_file,
            bool prom_file) {
    testsupport::TempDir dir;
    const std::string log = (dir.path() / "driver.log").string();
    const std::string prom = (dir.path() / "smdgw.prom").string();
    std::vector<std::string> argv = {"/usr/bin/env",  "TZ=UTC",
                                     "LC_ALL=C",      SMDGW_PATH,
                                     "--plugin",      PLUGIN_PATH,
                                     "--config",      (kSource / c.config).string(),
                                     "--replay",      (kSource / c.capture).string(),
                                     "--clock-start", kClockStart};
    if (log_file) argv.insert(argv.end(), {"--log", log});
    if (prom_file) argv.insert(argv.end(), {"--prometheus", prom});
    argv.insert(argv.end(), extra.begin(), extra.end());
    const std::string cwd = *c.cwd ? (kSource / c.cwd).string() : std::string();
    const testsupport::ProcessResult r = testsupport::run_process(argv, cwd);
    EXPECT_EQ(r.status, 0) << c.name << ": " << r.err;
    Outputs o{r.out, r.err, {}, {}};
    if (log_file) o.log = testsupport::read_text(log);
    if (prom_file) o.prom = testsupport::read_text(prom);
    return o;
}

bool updating() {
    const char* v = std::getenv("SMD_UPDATE_GOLDEN");
    return v && *v && std::string(v) != "0";
}

void compare(const std::string& file, const std::string& got) {
    const fs::path golden = kGolden / file;
    if (updating()) {
        std::ofstream(golden, std::ios::binary) << got;
        return;
    }
    const std::string want = testsupport::read_text(golden.string());
    ASSERT_FALSE(want.empty() && !got.empty())
        << golden << " is missing; make it with SMD_UPDATE_GOLDEN=1 (see the test's header)";
    if (want == got) return;
    fs::create_directories(kActual);
    std::ofstream(kActual / file, std::ios::binary) << got;
    ADD_FAILURE() << file << " differs from its golden (" << testsupport::first_difference(want, got)
                  << ")\n  diff " << golden.string() << " " << (kActual / file).string();
}

class GoldenOutput : public ::testing::TestWithParam<Capture> {};

TEST_P(GoldenOutput, JsonLinesWithTraceLogAndPrometheusFile) {
    const Capture& c = GetParam();
    // After the input, in command-line order: a value, a reset, a control
    // request (its command goes nowhere on a replay), another value.
    const Outputs o = run(c,
                          {"--trace-host", "-vv", "--get", "out_v", "--reset", "--control", "320",
                           "419500201003", "--get", "dc.v"},
                          true, true);
    const std::string base = std::string(c.name) + ".";
    compare(base + "trace.jsonl", o.out);
    compare(base + "line-trace.txt", o.err);
    compare(base + "driver.log", o.log);
    compare(base + "prom", o.prom);
}

TEST_P(GoldenOutput, TextView) {
    const Capture& c = GetParam();
    const Outputs o = run(c, {"--format", "text"}, true, false);
    compare(std::string(c.name) + ".text.txt", o.out + o.err);
}

TEST_P(GoldenOutput, InfluxWithTelegrafLog) {
    const Capture& c = GetParam();
    // The driver's log is written only when asked for: --log - relays it to stderr.
    std::vector<std::string> extra = {"--format", "influx"};
    if (c.relay_log) extra.insert(extra.end(), {"--log", "-"});
    const Outputs o = run(c, extra, !c.relay_log, false);
    compare(std::string(c.name) + ".influx.txt", o.out);
    if (c.relay_log) {
        compare(std::string(c.name) + ".influx-stderr.txt", o.err);
    } else {
        EXPECT_EQ(o.err, "");
    }
}

INSTANTIATE_TEST_SUITE_P(Captures, GoldenOutput, ::testing::ValuesIn(kCaptures),
                         [](const ::testing::TestParamInfo<Capture>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
