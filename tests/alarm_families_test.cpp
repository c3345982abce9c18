// Every alarm the driver raises has its family: the sections it depends on
// and its English meaning, found by ID. The driver is run through every
// threshold mode and every fault the simulator has, following a line and
// polling as master; every alarm ID is taken from the real host calls
// (--trace-host) and the host's own alarms from the alarm events.

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "host/alarm_english.h"
#include "host/alarm_families.h"
#include "tests/support/master_run.h"
#include "tests/support/run_process.h"
#include "tests/support/smdgw_run.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::TempDir;

// Every fault kind, each in its own rounds; the sections fall silent last.
const std::vector<std::string> kFaults = {
    "mains-fail:1@2-3", "mains-fail:2@4-5", "breaker-trip:2@6", "surge:1@7",
    "module-fault:2@8", "fan:3@9",          "module-off:1@10",  "fuse:1:2@11",
    "fuse:2:3@12",      "dc-low@13",        "dc-high@14",       "mute:dc@15-19",
    "mute:rectifiers@20-24", "mute:ac@25-29"};

// Every alarm level of threshold mode 2 for 4 modules, 3 fuses per panel.
std::string mode2_levels() {
    std::string l = R"("120600180010":3)";
    for (const char* id : {"220600120010", "220600130010", "220600140010", "220600160010",
                           "220600170010", "210600320010", "210600330010", "210600340010",
                           "210600320020", "210600330020", "210600340020"})
        l += std::string(",\"") + id + "\":2";
    for (int m = 1; m <= 4; ++m) {
        char buf[64];
        std::snprintf(buf, sizeof buf, R"(,"12060069%03d0":2,"12060002%03d0":2)", m, m);
        l += buf;
    }
    for (int f : {1, 2, 3, 19, 20, 21}) {
        char buf[32];
        std::snprintf(buf, sizeof buf, R"(,"12060047%03d0":2)", f);
        l += buf;
    }
    return l;
}

std::string device(const std::string& app, const std::string& extra = "") {
    return R"({"name":"plant1","data_id":418,"address":1,"appSetting":{)" + app +
           R"(},"alarm_levels":{)" + mode2_levels() + "}" + extra + "}";
}

// (alarm ID, key) -> a message it came with.
using Seen = std::map<std::pair<std::string, std::string>, std::string>;

void collect(const std::vector<Json::Value>& lines, Seen& seen) {
    for (const Json::Value& l : lines) {
        const std::string call = l["call"].asString();
        if (call == "CheckThresholdBool")
            seen[{l["alarm_id"].asString(), l["key"].asString()}] = l["message"].asString();
        if (call == "CheckThreshold")
            seen[{l["alarm_id"].asString(), l["alarm_id"].asString()}] = "";
        if (l["event"].asString() == "alarm")
            seen[{l["alarm_id"].asString(), l["key"].asString()}] = l["message"].asString();
    }
}

TEST(AlarmFamilies, EveryAlarmTheDriverRaisesHasItsSectionsAndMeaning) {
    TempDir dir;
    const std::string cap = (dir.path() / "faults.cap").string();
    std::vector<std::string> sim = {POWERSIM_PATH, "--out", cap, "--rounds", "30", "--modules",
                                    "4", "--panels", "2", "--fuses", "3"};
    for (const std::string& f : kFaults) sim.insert(sim.end(), {"--fault", f});
    const auto made = testsupport::run_process(sim);
    ASSERT_EQ(made.status, 0) << made.err;

    Seen seen;
    const std::string configs[] = {
        device(R"("b_mode":1,"has_dc":1,"ac_line":0)"),
        device(R"("b_mode":1,"has_dc":1,"ac_line":0,"ac_type":1)"),
        device(R"("b_mode":1,"has_dc":1,"ac_line":2)"),
        device(R"("b_mode":2,"has_dc":1)"),
        device(R"("b_mode":3,"has_dc":1)"),
    };
    for (const std::string& c : configs) {
        const std::string cfg = dir.write_s("gw.json", "{\"devices\":[" + c + "]}");
        const auto run = testsupport::run_smdgw(
            {"--config", cfg, "--replay", cap, "--trace-host", "--log", "/dev/null"});
        ASSERT_EQ(run.status, 0) << run.err;
        collect(testsupport::json_lines(run.out), seen);
    }
    // As master: the poll sequence's rounds, threshold modes 1 and 2.
    for (const char* app : {R"("b_mode":1,"has_dc":1,"ac_line":0)", R"("b_mode":2,"has_dc":1)"}) {
        const auto run = testsupport::run_master(
            dir,
            "{\"devices\":[" + device(app, R"(,"role":"master","encoding":"float")") + "]}",
            {"--modules", "4", "--panels", "2", "--fuses", "3", "--fault", "module-fault:2@1-",
             "--fault", "fuse:2:3@1-", "--fault", "mains-fail:1@1-"},
            {"--count", "2", "--time-scale", "10", "--trace-host"});
        ASSERT_EQ(run.status, 0) << run.err;
        collect(run.lines, seen);
    }

    std::set<std::string> ids;
    for (const auto& kv : seen) {
        const std::string& id = kv.first.first;
        const std::string& key = kv.first.second;
        ids.insert(id);
        const smd::AlarmFamily* f = smd::find_alarm_family(id, key);
        EXPECT_NE(f, nullptr) << "no family for alarm " << id << " key " << key;
        const std::string english = smd::alarm_english(id, key, kv.second);
        EXPECT_FALSE(english.empty()) << id << " " << key << " " << kv.second;
        EXPECT_EQ(english.find('?'), std::string::npos) << id << " " << key << ": " << english;
    }
    // The run saw the alarms of every kind of rule.
    for (const char* id :
         {"120600180010", "419415001", "419410701", "419410901", "419430501", "419431C01",
          "419430501002", "419610401001", "419610801004", "419613901002", "419620301002",
          "220600140010", "120600690010", "210600320020", "120600470020", "120600470210",
          "smdgw-section-ac", "smdgw-section-rectifiers", "smdgw-section-dc"})
        EXPECT_EQ(ids.count(id), 1u) << id << " never raised or reported";
}

}  // namespace
