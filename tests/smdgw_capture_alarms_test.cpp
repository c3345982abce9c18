// End to end through smdgw: a captured round with a blown fuse on DC panel 2,
// a faulty rectifier module and a tripped AC input breaker raises exactly
// those alarms, and the healthy round after it clears them.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "host/frame_codec.h"
#include "tests/support/smdgw_run.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr uint8_t kVer = 0x21;
constexpr uint8_t kAdr = 0x01;

// INFO bytes of a response, in wire order.
struct Info {
    std::vector<uint8_t> bytes;
    Info& u8(uint8_t v) {
        bytes.push_back(v);
        return *this;
    }
    Info& u8s(std::initializer_list<uint8_t> vs) {
        bytes.insert(bytes.end(), vs);
        return *this;
    }
    Info& f32(float v) {  // IEEE-754, least significant byte first
        uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(bits >> (8 * i)));
        return *this;
    }
};

// The master's command and the power system's normal response (RTN 0).
std::string exchange(uint8_t cid1, uint8_t cid2, const Info& response) {
    const uint8_t group = 0x01;
    return smd::encode_frame(kVer, kAdr, cid1, cid2, &group, 1) +
           smd::encode_frame(kVer, kAdr, cid1, 0x00, response.bytes.data(), response.bytes.size());
}

struct Plant {
    uint8_t ac_status0 = 0x00;     // p40_44[0] of AC input 1: 0x05 breaker tripped
    uint8_t module2_alarm = 0x00;  // p41_44[0] of module 2: 0x01 module fault
    uint8_t panel2_fuse2 = 0x00;   // alarm code of fuse 2 on DC panel 2
};

// One data round as the master polls it: DC alarms (opens the round), AC
// values and alarms, rectifier values and alarms, DC values, the closing
// vendor command.
std::string round_text(const Plant& p) {
    // clang-format off
    const Info dc_alarms = Info()
        .u8s({0x00, 2})                              // DATAFLAG, two panels
        .u8s({0x00, 2, 0x00, 0x00, 0})               // panel 1: voltage code, 2 fuses, 0 user codes
        .u8s({0x00, 2, 0x00, p.panel2_fuse2, 0});    // panel 2: the same
    const Info ac_values = Info()
        .u8s({0x00, 1})                              // DATAFLAG, one AC input
        .f32(220).f32(221).f32(222).f32(50).u8(0)    // phases A, B, C, frequency, 0 user values
        .f32(5).f32(5).f32(5);                       // phase currents
    const Info ac_alarms = Info()
        .u8s({0x00, 1})                              // DATAFLAG, one AC input
        .u8s({0, 0, 0, 0, 0})                        // phase and frequency codes, 0 further states
        .u8(8).u8s({p.ac_status0, 0, 0, 0, 0, 0, 0, 0})  // 8 status bytes
        .u8s({0, 0, 0});                             // phase current codes
    const Info rc_values = Info()
        .u8(0x00).f32(53.5f).u8(2)                   // DATAFLAG, output voltage, two modules
        .f32(10).u8(0)                               // module 1: current, 0 user values
        .f32(11).u8(0);                              // module 2
    const Info rc_states = Info()
        .u8s({0x00, 2})                              // DATAFLAG, two modules
        .u8s({0, 0, 0, 0})                           // module 1: on, no limit, float, 0 user states
        .u8s({0, 0, 0, 0});                          // module 2
    const Info rc_alarms = Info()
        .u8s({0x00, 2})                              // DATAFLAG, two modules
        .u8s({0, 8, 0, 0, 0, 0, 0, 0, 0, 0})         // module 1: fault code, 8 alarm bytes
        .u8s({p.module2_alarm, 8, p.module2_alarm, 0, 0, 0, 0, 0, 0, 0});  // module 2
    const Info dc_values = Info()
        .u8s({0x00, 2})                              // DATAFLAG, two panels
        .f32(53.5f).f32(20).u8s({0, 0, 0})           // panel 1: voltage, current, no lists
        .f32(53.4f).f32(10).u8s({0, 0, 0});          // panel 2
    // clang-format on
    return exchange(0x42, 0x44, dc_alarms) + exchange(0x40, 0x41, ac_values) +
           exchange(0x40, 0x44, ac_alarms) + exchange(0x41, 0x41, rc_values) +
           exchange(0x41, 0x43, rc_states) + exchange(0x41, 0x44, rc_alarms) +
           exchange(0x42, 0x41, dc_values) +
           exchange(0xE1, 0x90, Info());
}

std::string alarm_text(const Json::Value& e) {
    return e["state"].asString() + " L" + std::to_string(e["level"].asInt()) + " " +
           e["key"].asString() + " " + e["alarm_id"].asString() + " " + e["message"].asString() +
           " #" + std::to_string(e["seq"].asUInt());
}

TEST(SmdgwCaptureAlarms, FaultyRoundRaisesExactlyItsAlarmsAndAHealthyRoundClearsThem) {
    Plant faulty;
    faulty.ac_status0 = 0x05;
    faulty.module2_alarm = 0x01;
    faulty.panel2_fuse2 = 0x01;
    testsupport::TempDir dir;
    const std::string capture = dir.write_s("alarms.cap", round_text(faulty) + round_text(Plant()));
    // Fixed-text alarms, with the fuses of panel 2 configured.
    const std::string config = dir.write_s("gw.json", R"({
        "devices": [{"name": "plant", "data_id": 418, "address": 1,
                     "appSetting": {"b_mode": 2},
                     "alarm_levels": {"120600470190": 2, "120600470200": 2}}]})");
    const auto run = testsupport::run_smdgw(
        {"--config", config, "--replay", capture, "--log", (dir.path() / "log").string()});
    ASSERT_EQ(0, run.status) << run.err;
    const auto lines = testsupport::json_lines(run.out);

    int records = 0;
    std::vector<std::string> alarms;
    for (const Json::Value& l : lines) {
        if (l["event"] == "record") ++records;
        if (l["event"] == "alarm") alarms.push_back(alarm_text(l));
    }
    ASSERT_GT(records, 0) << "no round was published";
    EXPECT_EQ(2, records);
    const std::string breaker = "p40_44_0 419410701 第1路交流输入-交流输入空开跳 #1";
    const std::string module = "K418TRC_0 419430501 模块2模块故障告警状态 #12";
    const std::string fuse = "120600470200 120600470200 直流屏2002负载熔丝故障告警 #1";
    EXPECT_EQ((std::vector<std::string>{"raised L2 " + fuse, "raised L1 " + breaker,
                                        "raised L3 " + module, "cleared L2 " + fuse,
                                        "cleared L1 " + breaker, "cleared L3 " + module}),
              alarms);
}

}  // namespace
