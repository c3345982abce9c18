// The fleet collector's reading of the gateways' messages: a compact record
// read back gives the samples of the record it was made from, a message that
// comes again is written once, numbers missed are counted.

#include <gtest/gtest.h>

#include <json/reader.h>

#include <cmath>
#include <cstring>
#include <sstream>
#include <string>

#include "tests/support/synthetic_record.h"
#include "tools/smdgw-fleet/message_ledger.h"
#include "tools/smdgw-fleet/message_lines.h"
#include "tools/smdgw-fleet/record_decode.h"
#include "tools/smdgw-fleet/topic_route.h"
#include "tools/smdgw/mqtt/mqtt_options.h"
#include "tools/smdgw/mqtt/mqtt_topic.h"
#include "tools/smdgw/output/record_compact.h"
#include "tools/smdgw/output/record_samples.h"

namespace {

using namespace smdgw;

// Which samples a record gives: section, instance and field.
std::string sample_names(const std::vector<Sample>& samples) {
    std::string out;
    for (const Sample& s : samples)
        out += std::string(s.section->name) + "/" + std::to_string(s.instance) + "/" +
               s.field->field + "\n";
    return out;
}

TEST(FleetRecordDecode, CompactRecordGivesTheSamplesOfTheRecordItWasMadeFrom) {
    for (uint32_t seq : {1u, 2u, 77u}) {
        const auto bytes = testsupport::synthetic_record(seq, 53.25f);
        veltra_record_t original;
        std::memcpy(&original, bytes.data(), sizeof original);
        std::string compact;
        record_compact_text(compact, bytes.data(), bytes.size());
        Json::Value message;
        std::istringstream in("{\"compact\":" + compact + "}");
        ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &message, nullptr));
        veltra_record_t back;
        ASSERT_TRUE(decode_record(message, back)) << compact;
        const auto want = record_samples(original), got = record_samples(back);
        ASSERT_EQ(sample_names(got), sample_names(want)) << "seq " << seq;
        // The payload's numbers carry seven significant digits.
        for (size_t i = 0; i < want.size(); ++i)
            EXPECT_NEAR(got[i].value, want[i].value, std::fabs(want[i].value) * 1e-6)
                << sample_names({want[i]});
    }
}

TEST(FleetMessageLedger, RepeatsGapsAndNewBoots) {
    struct Step {
        const char* boot;
        uint64_t seq;
        Arrival want;
        uint64_t gaps_after;
    };
    // One stream: in order, a repeat, a gap of two, a repeat of an old one,
    // a restart from 1 under a new boot (a new outbox), the old boot's backlog.
    const Step steps[] = {
        {"a", 1, Arrival::New, 0},    {"a", 2, Arrival::New, 0},    {"a", 2, Arrival::Repeat, 0},
        {"a", 5, Arrival::New, 2},    {"a", 3, Arrival::Repeat, 2}, {"b", 6, Arrival::New, 2},
        {"a", 5, Arrival::Repeat, 2}, {"c", 1, Arrival::New, 2},    {"c", 2, Arrival::New, 2},
        {"c", 2, Arrival::Repeat, 2}, {"c", 4, Arrival::New, 3},
    };
    MessageLedger ledger;
    int i = 0;
    for (const Step& s : steps) {
        EXPECT_EQ(ledger.take("gw1", "plant1/record", s.boot, s.seq, 1000), s.want) << "step " << i;
        EXPECT_EQ(ledger.gaps(), s.gaps_after) << "step " << i;
        ++i;
    }
    EXPECT_EQ(ledger.gateways().at("gw1").restarts, 1u);

    // A collector started again remembers: what the broker hands over again
    // is still a repeat, the next number is new, a skipped one a gap.
    MessageLedger again;
    EXPECT_EQ(again.load(ledger.save() + "garbage line\n"), 1u);
    EXPECT_EQ(again.take("gw1", "plant1/record", "c", 4, 2000), Arrival::Repeat);
    EXPECT_EQ(again.take("gw1", "plant1/record", "a", 5, 2000), Arrival::Repeat);
    EXPECT_EQ(again.take("gw1", "plant1/record", "c", 6, 2000), Arrival::New);
    EXPECT_EQ(again.gaps(), 1u);
    // Another stream of the same gateway numbers on its own.
    EXPECT_EQ(ledger.take("gw1", "plant1/alarm", "c", 1, 1000), Arrival::New);
    EXPECT_EQ(ledger.gaps(), 3u);
}

TEST(FleetMessageLines, TopicsOfBothProfilesAndWhatTheyBecome) {
    struct Case {
        const char* topic;
        bool sharded;
        MessageKind kind;
        const char* gateway;
        const char* device;
    };
    const Case cases[] = {
        {"smdgw/s07/site1/plant1/record", true, MessageKind::Record, "site1", "plant1"},
        {"smdgw/s07/site1/status", true, MessageKind::Status, "site1", ""},
        {"smdgw/s07/site1/dropped", true, MessageKind::Dropped, "site1", ""},
        {"smdgw/site1/plant%2F1/alarms", false, MessageKind::Alarms, "site1", "plant%2F1"},
        {"smdgw/site1/plant1/state", false, MessageKind::State, "site1", "plant1"},
        {"smdgw/site1/plant1/other", false, MessageKind::Unknown, "", ""},
        {"smdgw/s07/site1", true, MessageKind::Unknown, "", ""},
        {"smdgwx/site1/status", false, MessageKind::Unknown, "", ""},
        {"smdgw//status", false, MessageKind::Unknown, "", ""},
    };
    for (const Case& c : cases) {
        const TopicRoute r = route_topic(c.topic, "smdgw", c.sharded);
        EXPECT_EQ(r.kind, c.kind) << c.topic;
        EXPECT_EQ(r.gateway, c.gateway) << c.topic;
        EXPECT_EQ(r.device, c.device) << c.topic;
    }

    // An alarm list: a series per listed alarm, and a 0 once it left the list.
    MessageLines lines("smdgw", true, 60000);
    std::string out, why;
    const std::string listed =
        R"({"alarms":[{"alarm_id":"419415001","level":1}],"boot_id":"b","device":"plant1",)"
        R"("event":"alarms","pub_seq":1,"time":"2026-12-08T10:00:00.000+01:00"})";
    EXPECT_EQ(lines.take("smdgw/s01/gw/plant1/alarms", listed, 0, out, why), Taken::Written);
    EXPECT_NE(out.find("smdgw_alarm,gateway=gw,site=gw,device=plant1,alarm_id=419415001,level=1 "
                       "active=1.0 1796720400000000000\n"),
              std::string::npos)
        << out;
    out.clear();
    EXPECT_EQ(lines.take("smdgw/s01/gw/plant1/alarms", listed, 0, out, why), Taken::Repeat);
    EXPECT_EQ(out, "");
    const std::string empty =
        R"({"alarms":[],"boot_id":"b","device":"plant1","event":"alarms","pub_seq":2,)"
        R"("time":"2026-12-08T09:00:01Z"})";
    EXPECT_EQ(lines.take("smdgw/s01/gw/plant1/alarms", empty, 0, out, why), Taken::Written);
    EXPECT_NE(out.find("level=1 active=0.0 1796720401000000000\n"), std::string::npos) << out;
    EXPECT_EQ(lines.take("smdgw/s01/gw/plant1/state", "{\"pub_seq\":1}", 0, out, why),
              Taken::Unreadable);

    // A record's battery estimate under the gateway's own Prometheus names;
    // what the estimate does not know is left out.
    out.clear();
    const std::string on_battery =
        R"({"battery":{"capacity_ah":200.0,"charge":0.62,"current_a":-52.0,)"
        R"("learned_capacity_ah":null,"runtime_high_s":2640.0,"runtime_low_s":1860.0,)"
        R"("runtime_s":2220.0,"since":1796720100,"state":"discharging","temperature_c":null},)"
        R"("boot_id":"b","complete":false,"device":"plant1","event":"record","pub_seq":3,)"
        R"("time":"2026-12-08T09:00:02Z"})";
    EXPECT_EQ(lines.take("smdgw/s01/gw/plant1/record", on_battery, 0, out, why), Taken::Written)
        << why;
    EXPECT_NE(out.find("smdgw_battery,gateway=gw,device=plant1 state=3.0,charge_ratio=0.62,"
                       "runtime_seconds=2220.0,runtime_low_seconds=1860.0,"
                       "runtime_high_seconds=2640.0,current_amperes=-52.0,capacity_ah=200.0 "
                       "1796720402000000000\n"),
              std::string::npos)
        << out;
}

}  // namespace

namespace {

TEST(FleetProfile, ShardsStayWhereTheyAreAndClientIdsAreChecked) {
    // A gateway's shard must never move between releases: its collector
    // would lose it. FNV-1a of the ID, modulo the shard count.
    struct Shard {
        const char* id;
        unsigned shards;
        const char* level;
    };
    const Shard shards[] = {
        {"site7", 64, "s59"}, {"site-0417", 64, "s25"}, {"", 64, "s05"},
        {"site7", 16, "s11"}, {"site7", 1000, "s931"},
    };
    for (const Shard& s : shards)
        EXPECT_EQ(smdgw::shard_level(smdgw::topic_shard(s.id, s.shards)), s.level)
            << s.id << " of " << s.shards;

    struct Id {
        const char* id;
        bool portable;
    };
    const Id ids[] = {{"site7", true},       {"ABCdef0123456789xyzXYZ1", true},
                      {"ABCdef0123456789xyzXYZ12", false}, {"site-0417", false},
                      {"", false},            {"sité", false}};
    for (const Id& i : ids) EXPECT_EQ(smdgw::portable_client_id(i.id), i.portable) << i.id;
}

}  // namespace
