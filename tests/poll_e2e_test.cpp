// The driver family as the master on a real pseudo-terminal: it polls the
// simulated plant (powersim --respond) round after round, and each record it
// completes carries what the plant answered.

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <string>

#include "host/serial_port.h"
#include "record/record_json.h"
#include "tests/support/plant_compare.h"
#include "tests/support/poll_rig.h"
#include "tests/support/pty_bridge.h"
#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::Child;
using testsupport::PollProbe;

// Reads what the line brings within the time limit and hands it to the
// driver until a round is published. False when the line stayed silent.
bool poll_one_round(PollProbe& drv, SerialPort& port, const testsupport::RecordingSink& sink) {
    const size_t before = sink.published.size();
    unsigned char buf[1024];
    while (sink.published.size() == before) {
        pollfd p{port.fd(), POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) return false;
        const ssize_t n = ::read(port.fd(), buf, sizeof buf);
        if (n > 0) drv.process(buf, static_cast<unsigned>(n));
    }
    return true;
}

TEST(PollingOverPty, FamilyPollsTheSimulatedPlantRoundAfterRound) {
    testsupport::PtyBridge line;
    testsupport::TempDir dir;
    const std::string sent = (dir.path() / "sent.json").string();
    Child sim(
        {POWERSIM_PATH, "--port", line.end_a(), "--respond", "--modules", "6", "--json", sent},
        (dir.path() / "sim.out").string(), (dir.path() / "sim.err").string());

    testsupport::DriverHarness<PollProbe> h;
    h.drv->has_dc = true;
    std::string error;
    auto port = SerialPort::open(line.end_b(), 9600, error);
    ASSERT_NE(port, nullptr) << error;
    h.drv->AttachPort(port);

    constexpr int kRounds = 3;
    testing::internal::CaptureStdout();  // the driver's log lines
    for (int r = 0; r < kRounds; ++r) {
        h.clock.advance(30);  // rounds at least 2 s apart
        ASSERT_EQ(h.drv->RefreshStatus(), 1) << "round " << r + 1;
        ASSERT_TRUE(poll_one_round(*h.drv, *port, h.sink)) << "round " << r + 1 << " stalled";
    }
    testing::internal::GetCapturedStdout();
    sim.signal(SIGTERM);
    ASSERT_EQ(sim.wait(30), 0) << testsupport::read_text((dir.path() / "sim.err").string());

    // The plant's DC response has a panel-count byte: the driver finds out.
    EXPECT_EQ(h.drv->no_dc_number, 2);
    EXPECT_EQ(h.drv->dc_number, 2u);
    const auto answered = testsupport::json_lines(testsupport::read_text(sent));
    ASSERT_GE(answered.size(), static_cast<size_t>(kRounds));
    ASSERT_EQ(h.sink.published.size(), static_cast<size_t>(kRounds));
    for (int r = 0; r < kRounds; ++r) {
        const Json::Value rec =
            record_to_json_bytes(h.sink.published[r].data(), h.sink.published[r].size());
        testsupport::expect_record_matches(rec, answered[r]["snapshot"],
                                           "round " + std::to_string(r + 1));
    }
}

}  // namespace
