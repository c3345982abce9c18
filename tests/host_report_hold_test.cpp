// Analog reports are never lost and never carry an unrefreshed value: the
// driver moves its baseline before it calls the host, so a report the host
// holds back (its section lost) is sent by the host from the first round that
// refreshes the section, with that round's value.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/driver_fixture.h"
#include "tools/common/example_plant.h"
#include "tools/common/frame_builder.h"

namespace {

using veltra_frames::PlantSnapshot;

// The line text of one round; the response to lost_response (CID1 << 8 |
// CID2) is left out.
std::string round_wire(const PlantSnapshot& s, uint16_t lost_response = 0) {
    std::string wire;
    for (const auto& e : veltra_frames::round_exchanges(s)) {
        wire += veltra_frames::command_frame({0x21, 1}, e.cid1, e.cid2, e.command_info);
        if (static_cast<uint16_t>(e.cid1 << 8 | e.cid2) == lost_response) continue;
        wire += veltra_frames::response_frame({0x21, 1}, e.cid1, e.response_info);
    }
    return wire;
}

// The reports of one round by signal.
std::map<std::string, float> reports(testsupport::DriverHarness<>& h) {
    std::map<std::string, float> out;
    for (const auto& e : h.sink.events_named("report"))
        out[e["signal_id"].asString()] = e["value"].asFloat();
    return out;
}

TEST(ReportHold, AChangeSeenFirstInALostSectionIsSentFromTheNextRoundThatRefreshesIt) {
    Json::Value entry = testsupport::basic_entry();
    entry["appSetting"]["b_mode"] = 1;
    entry["appSetting"]["ac_line"] = 0;  // both AC inputs checked
    Json::Value& phases = entry["reports"]["419610401001"];
    phases["change_enabled"] = true;
    phases["change_delta"] = 5.0;
    testing::internal::CaptureStdout();
    testsupport::DriverHarness<> h(entry);
    PlantSnapshot plant = veltra_frames::example_plant(1);
    ASSERT_EQ(plant.ac.inputs.size(), 2u);
    const float input2_a = plant.ac.inputs[1].a;
    ASSERT_GT(input2_a, 100.0f);
    const auto round = [&](const PlantSnapshot& s, uint16_t lost = 0) {
        h.sink.clear();
        h.feed(round_wire(s, lost));
        h.clock.advance(5);
        return reports(h);
    };
    // Rounds 1 to 5: the first reports every phase, the others nothing new.
    EXPECT_EQ(round(plant).at("419110100002"), input2_a);
    for (int r = 2; r <= 5; ++r) EXPECT_TRUE(round(plant).empty()) << "round " << r;
    // Round 6: input 2 loses its mains, and the AC analog response is lost,
    // so every phase reads 0: the driver reports them, the host holds them.
    PlantSnapshot failed = plant;
    failed.ac.inputs[1].a = failed.ac.inputs[1].b = failed.ac.inputs[1].c = 0.0f;
    EXPECT_TRUE(round(failed, 0x4041).empty());
    // Round 7 is whole. The driver's baseline of input 2 is 0 already, so it
    // makes no call; the host sends input 2's true 0 V. Input 1 is what was
    // sent before: no report.
    const auto seven = round(failed);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(seven.count("419110100002"), 1u) << "input 2's change was lost";
    EXPECT_EQ(seven.at("419110100002"), 0.0f);
    EXPECT_EQ(seven.count("419110200002"), 1u);
    EXPECT_EQ(seven.count("419110100001"), 0u) << "input 1 did not change";
    const DeviceHealth& health = h.drv->Health();
    EXPECT_GT(health.reports_suppressed, 0u);
    EXPECT_GE(health.reports_released, 3u);
}

}  // namespace
