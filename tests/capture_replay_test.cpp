// End to end: the example plant's capture replayed through smdgw with the plug-in; each
// round must come out as one published record carrying the values the capture carried.

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/frame_codec.h"
#include "record/veltra_record.h"
#include "tools/common/example_plant.h"

namespace {

namespace fs = std::filesystem;
using veltra_frames::PlantSnapshot;

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const fs::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary);
    out << text;
}

struct TempDir {
    fs::path path;
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "capture_replay_XXXXXX").string();
        if (mkdtemp(&tmpl[0]) != nullptr) path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
};

struct GatewayRun {
    int status = -1;
    std::vector<Json::Value> lines;
};

// Runs smdgw on the capture with the given extra options and parses its JSON lines.
GatewayRun run_smdgw(const TempDir& dir, const std::string& capture, const std::string& extra) {
    write_file(dir.path / "gateway.json",
               R"({"devices": [{"name": "plant1", "data_id": 418, "address": 1}]})");
    write_file(dir.path / "plant.cap", capture);
    const std::string cmd = std::string("'") + SMDGW_PATH + "' --plugin '" + PLUGIN_PATH +
                            "' --config '" + (dir.path / "gateway.json").string() + "' --replay '" +
                            (dir.path / "plant.cap").string() + "' --log '" +
                            (dir.path / "driver.log").string() + "' " + extra + " 2>'" +
                            (dir.path / "stderr.txt").string() + "'";
    GatewayRun run;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return run;
    std::string out;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    run.status = pclose(p);
    std::istringstream in(out);
    std::string line;
    Json::CharReaderBuilder b;
    while (std::getline(in, line)) {
        Json::Value v;
        std::string errors;
        std::istringstream ls(line);
        if (Json::parseFromStream(b, ls, &v, &errors))
            run.lines.push_back(v);
        else
            ADD_FAILURE() << "not a JSON line: " << line;
    }
    return run;
}

std::vector<std::vector<uint8_t>> published_records(const GatewayRun& run) {
    std::vector<std::vector<uint8_t>> out;
    for (const Json::Value& v : run.lines) {
        if (v["call"].asString() != "SendSP") continue;
        std::vector<uint8_t> bytes;
        EXPECT_TRUE(smd::from_hex(v["hex"].asString(), bytes));
        EXPECT_EQ(v["data_id"].asInt(), 5535);
        out.push_back(bytes);
    }
    return out;
}

// Compares the record bytes with the values of the snapshot the round was built from.
void expect_record_carries(const std::vector<uint8_t>& rec, const PlantSnapshot& s) {
    ASSERT_EQ(rec.size(), kRecordSize);
    const uint8_t* r = rec.data();
    EXPECT_EQ(load_le_u32(r), 418u);
    EXPECT_EQ(r[20], s.ac.inputs.size());  // ac.channel_count
    EXPECT_EQ(load_le_f32(r + 8), s.ac.ia);
    EXPECT_EQ(load_le_f32(r + 12), s.ac.ib);
    EXPECT_EQ(load_le_f32(r + 16), s.ac.ic);
    for (size_t i = 0; i < s.ac.inputs.size(); ++i) {
        const uint8_t* ch = r + 36 + 30 * i;
        EXPECT_EQ(load_le_f32(ch), s.ac.inputs[i].a) << "AC input " << i;
        EXPECT_EQ(load_le_f32(ch + 4), s.ac.inputs[i].b) << "AC input " << i;
        EXPECT_EQ(load_le_f32(ch + 8), s.ac.inputs[i].c) << "AC input " << i;
        EXPECT_EQ(load_le_f32(ch + 12), s.ac.inputs[i].f) << "AC input " << i;
    }
    EXPECT_EQ(load_le_f32(r + 96), s.out_v);
    EXPECT_EQ(r[100], s.modules.size());
    for (size_t j = 0; j < s.modules.size(); ++j) {
        const uint8_t* m = r + 101 + 53 * j;
        const veltra_frames::RectifierModule& want = s.modules[j];
        EXPECT_EQ(load_le_f32(m), want.out_i) << "module " << j;
        EXPECT_EQ(m[4], want.user_values.size()) << "module " << j;
        for (size_t k = 0; k < want.user_values.size(); ++k) {
            EXPECT_EQ(load_le_f32(m + 5 + 4 * k), want.user_values[k]) << "module " << j;
        }
        EXPECT_EQ(m[33], want.shutdown) << "module " << j;
        EXPECT_EQ(m[34], want.i_limit) << "module " << j;
        EXPECT_EQ(m[35], want.charge) << "module " << j;
        EXPECT_EQ(m[43], want.fault) << "module " << j;
    }
    for (size_t g = 0; g < s.panels.size(); ++g) {
        const uint8_t* dc = r + (g == 0 ? 2221 : 2466);
        const veltra_frames::DcPanel& want = s.panels[g];
        EXPECT_EQ(load_le_f32(dc + 4), want.v) << "panel " << g;
        EXPECT_EQ(load_le_f32(dc + 8), want.i) << "panel " << g;
        EXPECT_EQ(dc[131], want.alert_v) << "panel " << g;
        ASSERT_EQ(dc[132], want.fuses.size()) << "panel " << g;
        for (size_t k = 0; k < want.fuses.size(); ++k) {
            EXPECT_EQ(dc[133 + k], want.fuses[k]) << "panel " << g << " fuse " << k;
        }
    }
}

TEST(CaptureReplay, ExampleCaptureIsTheGeneratorsOutput) {
    EXPECT_EQ(read_file(fs::path(SOURCE_DIR) / "examples" / "plant.cap"),
              veltra_frames::example_capture());
}

TEST(CaptureReplay, EveryRoundIsPublishedWithTheCapturedValues) {
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    // Line noise between the rounds: junk bytes, half a frame and a frame with a bad checksum.
    std::string capture;
    for (unsigned r = 0; r < veltra_frames::kExampleRounds; ++r) {
        capture += veltra_frames::round_text(veltra_frames::example_plant(r));
        std::string bad = veltra_frames::command_frame(veltra_frames::LineAddress(), 0x40, 0x41);
        bad[bad.size() - 3] = bad[bad.size() - 3] == 'A' ? 'B' : 'A';
        capture += "\xFFjunk\n~210142" + bad;
    }
    const GatewayRun run = run_smdgw(dir, capture, "--trace-host --get out_v");
    ASSERT_EQ(run.status, 0) << read_file(dir.path / "stderr.txt");
    const std::vector<std::vector<uint8_t>> records = published_records(run);
    ASSERT_EQ(records.size(), veltra_frames::kExampleRounds);
    for (unsigned r = 0; r < veltra_frames::kExampleRounds; ++r) {
        SCOPED_TRACE("round " + std::to_string(r));
        expect_record_carries(records[r], veltra_frames::example_plant(r));
    }
    // The blown fuse of the third round reached the record.
    EXPECT_EQ(records[2][2221 + 133 + 3], 0x03);
}

TEST(CaptureReplay, OutVIsTheDcBusVoltageOfTheLastRound) {
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    const GatewayRun run = run_smdgw(dir, veltra_frames::example_capture(), "--get out_v");
    ASSERT_EQ(run.status, 0) << read_file(dir.path / "stderr.txt");
    const Json::Value* value = nullptr;
    size_t records = 0;
    for (const Json::Value& v : run.lines) {
        if (v["event"].asString() == "record") ++records;
        if (v["event"].asString() == "value") value = &v;
    }
    ASSERT_EQ(records, veltra_frames::kExampleRounds);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->get("key", "").asString(), "out_v");
    const PlantSnapshot last = veltra_frames::example_plant(veltra_frames::kExampleRounds - 1);
    ASSERT_TRUE((*value)["value"].isNumeric()) << (*value).toStyledString();
    EXPECT_EQ((*value)["value"].asFloat(), last.panels[0].v);
}

}  // namespace
