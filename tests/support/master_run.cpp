#include "tests/support/master_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <optional>

#include "record/record_json.h"
#include "tests/support/free_port.h"
#include "tests/support/plant_compare.h"
#include "tests/support/pty_bridge.h"
#include "tests/support/run_process.h"
#include "tests/support/smdgw_run.h"

namespace testsupport {

namespace {

// A safety net for a run that went wrong, not a pace.
constexpr double kRunLimitSeconds = 120;

bool near(const Json::Value& a, const Json::Value& b) {
    return std::fabs(a.asDouble() - b.asDouble()) <= 1e-4 * std::max(1.0, std::fabs(b.asDouble()));
}

// Drifting values that tell one round of the plant from another.
bool same_round(const Json::Value& rec, const Json::Value& snap) {
    return near(rec["out_v"], snap["out_v"]) && near(rec["ac"]["ia"], snap["ac"]["ia"]) &&
           near(rec["channels"][0]["out_i"], snap["channels"][0]["out_i"]) &&
           near(rec["ac_channels"][0]["a"], snap["ac_channels"][0]["a"]);
}

}  // namespace

std::vector<Json::Value> MasterRun::records(const std::string& device) const {
    return events(lines, "record", device);
}

Json::Value MasterRun::poll_stats(const std::string& device) const {
    const auto stats = events(lines, "stats", device);
    return stats.empty() ? Json::Value() : stats.back()["poll"];
}

std::vector<Json::Value> MasterRun::rounds_sent(unsigned address) const {
    std::vector<Json::Value> out;
    for (const Json::Value& s : sent)
        if (s.isMember("round") && s["address"].asUInt() == address) out.push_back(s);
    return out;
}

MasterRun run_master(const TempDir& dir, const std::string& config,
                     const std::vector<std::string>& sim_args,
                     const std::vector<std::string>& gw_args, MasterLink link,
                     const WhileRunning& meanwhile) {
    std::optional<PtyBridge> pty;
    std::string plant_end, gateway_end;
    if (link == MasterLink::Tcp) {
        gateway_end = "tcp:127.0.0.1:" + std::to_string(free_tcp_port());
    } else {
        pty.emplace();
        plant_end = pty->end_a();
        gateway_end = pty->end_b();
    }
    const std::string sent = (dir.path() / "sent.json").string();
    std::vector<std::string> sim = {POWERSIM_PATH, "--respond", "--rounds", "0", "--json", sent};
    if (link == MasterLink::Tcp)
        sim.insert(sim.end(), {"--listen", gateway_end});
    else
        sim.insert(sim.end(), {"--port", plant_end});
    sim.insert(sim.end(), sim_args.begin(), sim_args.end());
    Child plant(sim, (dir.path() / "sim.out").string(), (dir.path() / "sim.err").string());

    std::vector<std::string> gw = {SMDGW_PATH,  "--plugin", PLUGIN_PATH,
                                   "--config",  dir.write_s("gw.json", config),
                                   "--port",    gateway_end,
                                   "--log",     (dir.path() / "driver.log").string()};
    gw.insert(gw.end(), gw_args.begin(), gw_args.end());
    MasterRun run;
    {
        Child gateway(gw, (dir.path() / "gw.out").string(), (dir.path() / "gw.err").string());
        if (meanwhile) meanwhile(plant, (dir.path() / "gw.out").string());
        run.status = gateway.wait(kRunLimitSeconds);
    }
    plant.signal(SIGTERM);
    plant.wait(30);
    run.err = read_text((dir.path() / "gw.err").string());
    run.lines = json_lines(read_text((dir.path() / "gw.out").string()));
    run.sent = json_lines(read_text(sent));
    return run;
}

void expect_records_from_plant(const MasterRun& run, const std::string& device,
                               unsigned address) {
    const std::vector<Json::Value> rounds = run.rounds_sent(address);
    const std::vector<Json::Value> records = run.records(device);
    size_t from = 0;  // rounds come in order; a lost one is skipped
    for (size_t r = 0; r < records.size(); ++r) {
        const Json::Value& rec = records[r]["record"];
        size_t k = from;
        while (k < rounds.size() && !same_round(rec, rounds[k]["snapshot"])) ++k;
        ASSERT_LT(k, rounds.size()) << device << " record " << r + 1
                                    << " is none of the plant's rounds";
        expect_record_matches(rec, rounds[k]["snapshot"],
                              device + " record " + std::to_string(r + 1) + " (plant round " +
                                  rounds[k]["round"].asString() + ")");
        from = k + 1;
    }
}

}  // namespace testsupport
