#pragma once
// smdgw polling powersim --respond over a pseudo-terminal pair, as a user runs
// a device with "role": "master": the simulator answers on one end, smdgw
// polls the other until --count rounds are published.

#include <json/value.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"

namespace testsupport {

struct MasterRun {
    int status = -1;
    std::string err;
    std::vector<Json::Value> lines;  // smdgw's JSON output
    std::vector<Json::Value> sent;   // what the simulator logged (--json)

    std::vector<Json::Value> records(const std::string& device = "") const;
    // The "poll" counters of the device's last stats line (null without one).
    Json::Value poll_stats(const std::string& device) const;
    // The simulator's round snapshots for this address, in order.
    std::vector<Json::Value> rounds_sent(unsigned address) const;
};

// How the gateway reaches the plant: a pseudo-terminal pair, or the plant
// behind a serial server on a loopback TCP port.
enum class MasterLink { Pty, Tcp };

// What a test does to the plant while the gateway runs, given the plant and
// the file the gateway's JSON goes to.
using WhileRunning = std::function<void(Child& plant, const std::string& gateway_out)>;

// config is the JSON text; sim_args and gw_args are added to
// powersim --port A --respond --rounds 0 --json FILE (--listen tcp:... for
// Tcp) and smdgw --config FILE --port B --log FILE.
MasterRun run_master(const TempDir& dir, const std::string& config,
                     const std::vector<std::string>& sim_args,
                     const std::vector<std::string>& gw_args, MasterLink link = MasterLink::Pty,
                     const WhileRunning& meanwhile = nullptr);

// Expects every published record of the device to be one of the plant's
// rounds at that address (a round lost on the line is simply not there).
void expect_records_from_plant(const MasterRun& run, const std::string& device,
                               unsigned address);

}  // namespace testsupport
