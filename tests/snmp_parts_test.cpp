// The SNMP subagent's parts without an agent: the plants as entities and
// sensors (stable indices, precision, availability), the view's
// GET and GETNEXT, the notification sequence kept across restarts, and the
// MIB module and the tables of docs/snmp.md rendered from the code.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "record/veltra_record.h"
#include "tests/support/doc_section.h"
#include "tests/support/run_process.h"
#include "tests/support/temp_dir.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/notification_sequence.h"
#include "tools/smdgw/snmp/snmp_options.h"
#include "tools/smdgw/snmp/mib_module.h"
#include "tools/smdgw/snmp/mib_view.h"
#include "tools/smdgw/snmp/plant_entities.h"
#include "tools/smdgw/snmp/trap_payload.h"

namespace {

using namespace smdgw::snmp;
using smdgw::DeviceState;
using testsupport::TempDir;

Oid operator+(Oid a, const Oid& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A record with every part a plant can report: both AC inputs, `modules`
// modules, both panels with both battery string currents.
std::vector<unsigned char> full_record(unsigned modules) {
    veltra_record_t r;
    std::memset(&r, 0, sizeof r);
    r.out_v = 53.5f;
    r.ac.ia = 21.5f;
    r.ac.channel_count = 2;
    for (auto& in : r.ac_channels) {
        in.a = 224.0f;
        in.f = 50.0f;
    }
    r.channel_count = static_cast<uint8_t>(modules);
    for (unsigned j = 0; j < modules; ++j) r.channels[j].out_i = 18.0f + 0.5f * static_cast<float>(j);
    for (veltra_dc_t* p : {&r.dc, &r.dc2}) {
        p->v = 53.49f;
        p->i = 120.25f;
        p->m = 2;
        p->dc_i[0] = 60.0f;
        p->dc_i[1] = 60.25f;
    }
    std::vector<unsigned char> bytes(sizeof r);
    std::memcpy(bytes.data(), &r, sizeof r);
    return bytes;
}

DeviceState live_device(unsigned modules) {
    DeviceState d;
    d.name = "plant1";
    d.record = d.shown_record = full_record(modules);
    d.data_state = DataState::Live;
    d.last_complete_time = 1772355600;
    d.record_unix_time = 1772355600;
    for (smdgw::SectionView& v : d.sections) {
        v.state = smd::Freshness::Fresh;
        v.refreshed_at = 1772355600;
    }
    return d;
}

std::map<std::string, PhysicalEntity> by_path(const std::vector<PhysicalEntity>& entities) {
    std::map<std::string, PhysicalEntity> out;
    for (const PhysicalEntity& e : entities)
        if (e.sensor) out[e.path] = e;
    return out;
}

// entPhysicalIndex: device N owns N*1000..N*1000+999, each part and value a
// fixed place; fewer modules move nothing.
TEST(SnmpEntities, IndicesAreStableUniqueAndContained) {
    const std::vector<PhysicalEntity> full = plant_entities(live_device(40), 2);
    std::set<uint32_t> seen;
    std::map<uint32_t, const PhysicalEntity*> index;
    for (const PhysicalEntity& e : full) {
        EXPECT_TRUE(seen.insert(e.index).second) << "index " << e.index << " twice";
        EXPECT_GE(e.index, 2000u);
        EXPECT_LT(e.index, 3000u);
        index[e.index] = &e;
    }
    for (const PhysicalEntity& e : full) {
        if (e.index == 2000) {
            EXPECT_EQ(e.contained_in, 0u);
            continue;
        }
        ASSERT_TRUE(index.count(e.contained_in)) << e.name << " in a missing " << e.contained_in;
        EXPECT_EQ(index[e.contained_in]->sensor, false) << e.name;
        EXPECT_EQ(e.sensor, e.cls == PhysicalClass::Sensor) << e.name;
    }
    // 40 modules, 2 inputs x 4, 3 AC currents, out_v, 2 panels x 4.
    const auto sensors = by_path(full);
    EXPECT_EQ(sensors.size(), 40u + 8 + 3 + 1 + 8);
    const std::map<std::string, uint32_t> fixed = {
        {"ac.ia", 2011},          {"ac_channels[0].a", 2021}, {"ac_channels[1].f", 2034},
        {"out_v", 2101},          {"channels[0].out_i", 2201}, {"channels[39].out_i", 2591},
        {"dc.v", 2601},           {"dc.dc_i[1]", 2604},       {"dc2.v", 2611},
        {"dc2.dc_i[1]", 2614},
    };
    for (const auto& [path, i] : fixed) EXPECT_EQ(sensors.at(path).index, i) << path;
    // Each sensor sits at its part plus its place among the part's values.
    for (const ComponentSpec& c : kComponents) {
        const std::vector<std::string> names = part_values(c);
        ASSERT_FALSE(names.empty()) << c.words;
        const std::string prefix = *c.section ? std::string(c.section) + (c.stride ? "[0]." : ".") : "";
        for (size_t i = 0; i < names.size(); ++i)
            EXPECT_EQ(sensors.at(prefix + names[i]).index, 2000 + c.first + i + 1) << names[i];
    }
    EXPECT_EQ(index[2220]->name, "plant1 rectifier module 3");
    EXPECT_EQ(index[2220]->contained_in, 2100u);
    EXPECT_TRUE(index[2220]->fru);
    EXPECT_EQ(sensors.at("dc2.v").descr, "DC panel 2: DC bus voltage");

    // Fewer modules, one panel and one battery string current: the rest keep their places.
    DeviceState small = live_device(3);
    veltra_record_t r;
    std::memcpy(&r, small.shown_record.data(), sizeof r);
    r.dc.m = 1;
    std::memset(&r.dc2, 0, sizeof r.dc2);
    std::memcpy(small.shown_record.data(), &r, sizeof r);
    const auto fewer = by_path(plant_entities(small, 2));
    EXPECT_EQ(fewer.size(), 3u + 8 + 3 + 1 + 3);
    for (const auto& [path, e] : fewer) EXPECT_EQ(e.index, sensors.at(path).index) << path;
    EXPECT_EQ(fewer.count("dc.dc_i[1]"), 0u);
    EXPECT_EQ(fewer.count("dc2.v"), 0u);
}

// A value's fixed precision per type, rounded; ok only from a live device.
TEST(SnmpEntities, PrecisionPerTypeAndAvailability) {
    struct Case {
        double value;
        int32_t precision;
        int32_t expected;
    };
    for (const Case& c : std::vector<Case>{{53.5, 2, 5350},
                                           {53.494, 2, 5349},
                                           {53.495, 2, 5350},
                                           {-0.04, 1, 0},
                                           {-48.25, 2, -4825},
                                           {1e12, 2, 1000000000},
                                           {-1e12, 1, -1000000000}})
        EXPECT_EQ(sensor_value(c.value, c.precision), c.expected) << c.value;

    const auto sensors = by_path(plant_entities(live_device(2), 1));
    const std::map<std::string, std::pair<SensorType, int32_t>> values = {
        {"dc.v", {SensorType::VoltsDC, 5349}},       {"out_v", {SensorType::VoltsDC, 5350}},
        {"ac_channels[0].a", {SensorType::VoltsAC, 22400}},
        {"ac_channels[0].f", {SensorType::Hertz, 5000}}, {"ac.ia", {SensorType::Amperes, 215}},
        {"dc.i", {SensorType::Amperes, 1203}},       {"channels[1].out_i", {SensorType::Amperes, 185}},
    };
    for (const auto& [path, v] : values) {
        const PhysicalEntity& e = sensors.at(path);
        EXPECT_EQ(e.type, v.first) << path;
        EXPECT_EQ(e.value, v.second) << path;
        EXPECT_EQ(e.status, SensorStatus::Ok) << path;
        EXPECT_EQ(e.value_time, 1772355600) << path;
    }

    for (DataState s : {DataState::Stale, DataState::Restored, DataState::NoPort, DataState::Never}) {
        DeviceState d = live_device(2);
        d.data_state = s;
        for (const auto& [path, e] : by_path(plant_entities(d, 1)))
            EXPECT_EQ(e.status, SensorStatus::Unavailable) << data_state_name(s) << " " << path;
    }
    // Section by section: the rectifiers not refreshed by the last round keep
    // their values and time, unavailable; the DC panels never refreshed are
    // not shown at all, as in the API; the AC distribution stays ok.
    DeviceState partial = live_device(2);
    partial.sections[static_cast<size_t>(smd::Section::Rectifiers)] = {smd::Freshness::Held,
                                                                       1772355000, 1};
    partial.sections[static_cast<size_t>(smd::Section::Dc)] = {};
    const auto held = by_path(plant_entities(partial, 1));
    EXPECT_EQ(held.size(), 2u + 8 + 3 + 1);
    EXPECT_EQ(held.count("dc.v"), 0u);
    EXPECT_EQ(held.at("channels[1].out_i").status, SensorStatus::Unavailable);
    EXPECT_EQ(held.at("channels[1].out_i").value, 185);
    EXPECT_EQ(held.at("out_v").value_time, 1772355000);
    EXPECT_EQ(held.at("ac.ia").status, SensorStatus::Ok);
    for (const PhysicalEntity& e : plant_entities(partial, 1))
        EXPECT_EQ(e.name.find("DC panel"), std::string::npos) << e.name;

    // By the data's age: a section a noisy line left out of the last round
    // reads ok while its values are younger than the device's staleness
    // bound, and unavailable once older, whatever the rounds do.
    DeviceState noisy = live_device(2);
    noisy.sections[static_cast<size_t>(smd::Section::Rectifiers)] = {smd::Freshness::Held,
                                                                     1772355590, 1};
    noisy.sections[static_cast<size_t>(smd::Section::Dc)] = {smd::Freshness::Held, 1772355000, 9};
    const auto aged = by_path(plant_entities(noisy, 1, nullptr, SensorAge{1772355605, 120.0}));
    EXPECT_EQ(aged.at("channels[1].out_i").status, SensorStatus::Ok) << "15 s old";
    EXPECT_EQ(aged.at("dc.v").status, SensorStatus::Unavailable) << "605 s old";
    EXPECT_EQ(aged.at("ac.ia").status, SensorStatus::Ok);
    const auto later = by_path(plant_entities(noisy, 1, nullptr, SensorAge{1772355721, 120.0}));
    EXPECT_EQ(later.at("ac.ia").status, SensorStatus::Unavailable) << "121 s old";
    // Names in words, the value's API path the alias.
    EXPECT_EQ(aged.at("channels[1].out_i").name, "plant1 Rectifier module 2 output current");
    EXPECT_EQ(aged.at("channels[1].out_i").path, "channels[1].out_i");

    // Only a record restored from the history: the parts are known, no value is current.
    DeviceState restored = live_device(2);
    restored.shown_record.clear();
    restored.sections = {};
    restored.data_state = DataState::Restored;
    const auto from_history = by_path(plant_entities(restored, 1));
    EXPECT_EQ(from_history.size(), 2u + 8 + 3 + 1 + 8);
    for (const auto& [path, e] : from_history) EXPECT_EQ(e.status, SensorStatus::Unavailable);
    // Nothing yet: the plant alone.
    DeviceState never;
    never.name = "plant1";
    EXPECT_EQ(plant_entities(never, 1).size(), 1u);
}

// The battery bank after the DC panels: its current and temperature as the
// estimate has them, ok only while the DC panels are current; the battery
// table's columns in whole units, -1 for what the estimate does not know.
TEST(SnmpEntities, BatteryBankFollowsTheEstimate) {
    smdgw::BatteryView b;
    b.reading.state = smdgw::BatteryState::Discharging;
    b.reading.current_a = -52.04;
    b.reading.temperature_c = 24.96;
    b.reading.runtime_s = 2220.4;
    b.reading.runtime_low_s = 1887.3;
    b.reading.runtime_high_s = 2553.5;
    const std::vector<PhysicalEntity> all = plant_entities(live_device(2), 2, &b);
    const auto bank = std::find_if(all.begin(), all.end(),
                                   [](const PhysicalEntity& e) { return e.index == 2700; });
    ASSERT_NE(bank, all.end());
    EXPECT_EQ(bank->cls, PhysicalClass::Battery);
    EXPECT_EQ(bank->contained_in, 2000u);
    const auto sensors = by_path(all);
    struct Row {
        const char* path;
        uint32_t index;
        SensorType type;
        int32_t value;
    };
    for (const Row& r : {Row{"battery.current_a", 2701, SensorType::Amperes, -520},
                         Row{"battery.temperature_c", 2702, SensorType::Celsius, 250}}) {
        const PhysicalEntity& e = sensors.at(r.path);
        EXPECT_EQ(e.index, r.index) << r.path;
        EXPECT_EQ(e.contained_in, 2700u) << r.path;
        EXPECT_EQ(e.type, r.type) << r.path;
        EXPECT_EQ(e.value, r.value) << r.path;
        EXPECT_EQ(e.status, SensorStatus::Ok) << r.path;
        EXPECT_EQ(e.path, r.path);
    }
    // The DC panels held by the last round: the values stay, unavailable.
    DeviceState held = live_device(2);
    held.sections[static_cast<size_t>(smd::Section::Dc)] = {smd::Freshness::Held, 1772355000, 1};
    EXPECT_EQ(by_path(plant_entities(held, 2, &b)).at("battery.current_a").status,
              SensorStatus::Unavailable);
    // No temperature configured: no row; no refreshed DC round yet: no bank.
    b.reading.temperature_c.reset();
    EXPECT_EQ(by_path(plant_entities(live_device(2), 2, &b)).count("battery.temperature_c"), 0u);
    smdgw::BatteryView unknown;
    EXPECT_EQ(plant_entities(live_device(2), 2, &unknown).size(),
              plant_entities(live_device(2), 2).size());

    const Oid root = {1, 3, 6, 1, 4, 1, 8072, 9999, 9999, 1};
    std::vector<int64_t> columns;
    for (const MibVar& v : battery_vars(root, 2, b.reading)) {
        const Oid expected = root + Oid{1, 4, 1, static_cast<uint32_t>(columns.size() + 1), 2};
        EXPECT_EQ(v.name, expected);
        columns.push_back(v.value.number);
    }
    EXPECT_EQ(columns, (std::vector<int64_t>{4, -1, 2220, 1887, 2554}));
    b.reading.charge = 0.7349;
    b.reading.state = smdgw::BatteryState::Float;
    b.reading.runtime_s.reset();
    EXPECT_EQ(battery_vars(root, 2, b.reading)[0].value.number, 2);
    EXPECT_EQ(battery_vars(root, 2, b.reading)[1].value.number, 73);
    EXPECT_EQ(battery_vars(root, 2, b.reading)[2].value.number, -1);
}

TEST(SnmpMib, ViewAnswersGetAndGetNextInOrder) {
    const Oid root = {1, 3, 6, 1, 4, 1, 8072, 9999, 9999, 1};
    DeviceState d = live_device(2);
    smdgw::AlarmState fuse;
    fuse.active = true;
    fuse.level = 2;
    fuse.message = "直流屏1002负载熔丝故障告警";
    fuse.since = 1772355600;
    d.alarms[smdgw::AlarmKey{"120600470020", "120600470020", 1}] = fuse;
    AlarmRows rows;
    GatewayFacts facts;
    facts.last_sequence = 41;
    facts.heartbeat_s = 60;
    facts.now = 1772355610;
    facts.uptime_ticks = 5000;
    const MibView view(root, {DeviceInfo{"plant1", 1, "listen"}}, {d}, rows, facts);

    for (size_t i = 1; i < view.vars().size(); ++i)
        EXPECT_LT(view.vars()[i - 1].name, view.vars()[i].name);
    const MibVar* sequence = view.get(object_oid(root, "smdgwNotificationSequence") + Oid{0});
    ASSERT_NE(sequence, nullptr);
    EXPECT_EQ(sequence->value.number, 41);
    EXPECT_EQ(view.get(object_oid(root, "smdgwNotificationSequence")), nullptr);
    // GETNEXT from a table's OID lands on its first cell; inclusive takes an exact match.
    const Oid entry = {1, 3, 6, 1, 2, 1, 99, 1, 1, 1};
    const MibVar* first = view.next(entry, false);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->name, (entry + Oid{1, 1011}));
    EXPECT_EQ(view.next(first->name, true), first);
    EXPECT_NE(view.next(first->name, false), first);
    EXPECT_EQ(view.next(root + Oid{9}, false), nullptr);
    // The value's time stamp: the uptime when it came, 10 s before now.
    const MibVar* stamp = view.get(entry + Oid{7, 1601});
    ASSERT_NE(stamp, nullptr);
    EXPECT_EQ(stamp->value.number, 4000);
    // The alarm's row, and the same row after the view is built again.
    const Oid message = object_oid(root, "smdgwAlarmMessage");
    const MibVar* row = view.next(message, false);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->value.octets, fuse.message);
    const MibView again(root, {DeviceInfo{"plant1", 1, "listen"}}, {d}, rows, facts);
    EXPECT_EQ(again.next(message, false)->name, row->name);
    EXPECT_EQ(again.alarms_active(), 1u);
    // DateAndTime with the zone, 8 zero octets for "never".
    EXPECT_EQ(date_and_time(0), std::string(8, '\0'));
    const std::string t = date_and_time(1772355600);
    ASSERT_EQ(t.size(), 11u);
    EXPECT_TRUE(t[8] == '+' || t[8] == '-');
}

// A number is never handed out twice: it is stored before it is returned,
// kept across a reopen, in a state file or the history database.
TEST(NotificationSequence, KeepsTheLastNumberAcrossRestarts) {
    TempDir dir;
    const std::string file = (dir.path() / "seq").string();
    std::string error;
    {
        auto s = smdgw::NotificationSequence::in_file(file);
        EXPECT_EQ(s->last(), 0u);
        EXPECT_EQ(s->take(1, error), 1u);
        EXPECT_EQ(s->take(3, error), 2u);
        EXPECT_EQ(error, "");
    }
    EXPECT_EQ(testsupport::read_text(file), "4\n");
    EXPECT_EQ(smdgw::NotificationSequence::in_file(file)->last(), 4u);

    dir.write("bad", "12 apples\n");
    try {
        smdgw::NotificationSequence::in_file((dir.path() / "bad").string());
        ADD_FAILURE() << "a file that is not a number was taken";
    } catch (const smdgw::SequenceError& e) {
        EXPECT_NE(std::string(e.what()).find("bad: not a notification sequence file"),
                  std::string::npos)
            << e.what();
    }
    // A store that fails: the numbers go on, the error says so.
    {
        const std::string gone = (dir.path() / "gone").string();
        ::mkdir(gone.c_str(), 0700);
        auto s = smdgw::NotificationSequence::in_file(gone + "/seq");
        ::rmdir(gone.c_str());
        EXPECT_EQ(s->take(1, error), 1u);
        EXPECT_NE(error.find("gone/seq"), std::string::npos) << error;
        EXPECT_EQ(s->take(1, error), 2u);
    }

    const std::string db = (dir.path() / "history.db").string();
    {
        auto snmp = smdgw::NotificationSequence::in_database(db, "snmp");
        auto mail = smdgw::NotificationSequence::in_database(db, "mail");
        error.clear();
        EXPECT_EQ(snmp->take(5, error), 1u);
        EXPECT_EQ(mail->take(1, error), 1u);
        EXPECT_EQ(error, "");
        // A store that works keeps the failure of an earlier one in the same
        // call sequence: the caller says it once for all.
        error = "an earlier store failed";
        EXPECT_EQ(mail->take(1, error), 2u);
        EXPECT_EQ(error, "an earlier store failed");
    }
    EXPECT_EQ(smdgw::NotificationSequence::in_database(db, "snmp")->last(), 5u);
    EXPECT_EQ(smdgw::NotificationSequence::in_database(db, "mail")->last(), 2u);

    // The state file and a history file made anew: numbering goes on from
    // the higher, and both are given every number.
    {
        std::vector<std::unique_ptr<smdgw::NotificationSequence>> both;
        both.push_back(smdgw::NotificationSequence::in_file(file));
        both.push_back(smdgw::NotificationSequence::in_database(
            (dir.path() / "new-history.db").string(), "snmp"));
        auto s = smdgw::NotificationSequence::highest_of(std::move(both));
        error.clear();
        EXPECT_EQ(s->take(1, error), 5u);
        EXPECT_EQ(error, "");
    }
    EXPECT_EQ(testsupport::read_text(file), "5\n");
    EXPECT_EQ(smdgw::NotificationSequence::in_database((dir.path() / "new-history.db").string(),
                                                       "snmp")
                  ->last(),
              5u);
}

// A stored notification reads back as it was built, and anything else is
// refused with the line that is wrong: the outbox's rows are read like any
// input.
TEST(SnmpTrapPayload, ReadsBackWhatItWroteAndRefusesTheRest) {
    const Oid trap = {1, 3, 6, 1, 4, 1, 8072, 9999, 9999, 1, 0, 1};
    const std::vector<MibVar> vars = {
        {{1, 3, 6, 1, 4, 1, 8072, 9999, 9999, 1, 1, 1, 1, 0}, MibValue::unsigned32(4294967295u)},
        {{1, 3, 6, 1, 4, 1, 1, 1}, MibValue::integer(-2147483648LL)},
        {{1, 3, 6, 1, 4, 1, 1, 2}, MibValue::text(std::string("\xe7\x9b\xb4 fuse\n\0x", 10))},
        {{1, 3, 6, 1, 4, 1, 1, 3}, MibValue::text("")},
        {{1, 3, 6, 1, 4, 1, 1, 4}, MibValue::counter64(18446744073709551615ULL)},
        {{1, 3, 6, 1, 4, 1, 1, 5}, MibValue::ticks(4294967295u)},
        {{1, 3, 6, 1, 4, 1, 1, 6}, MibValue::object_id({0, 0})},
    };
    StoredTrap back;
    std::string error;
    ASSERT_TRUE(parse_trap_payload(trap_payload(trap, vars), back, error)) << error;
    EXPECT_EQ(back.trap, trap);
    ASSERT_EQ(back.vars.size(), vars.size());
    for (size_t i = 0; i < vars.size(); ++i) {
        EXPECT_EQ(back.vars[i].name, vars[i].name) << i;
        EXPECT_EQ(back.vars[i].value.type, vars[i].value.type) << i;
        EXPECT_EQ(back.vars[i].value.number, vars[i].value.number) << i;
        EXPECT_EQ(back.vars[i].value.counter, vars[i].value.counter) << i;
        EXPECT_EQ(back.vars[i].value.octets, vars[i].value.octets) << i;
        EXPECT_EQ(back.vars[i].value.oid, vars[i].value.oid) << i;
    }
    std::string many = "T 1.3\n";
    for (size_t i = 0; i <= kMaxTrapVars; ++i) many += "V 1.3 i 1\n";
    const std::pair<std::string, const char*> bad[] = {
        {"", "no notification OID"},
        {"T 1.3", "no end"},
        {"V 1.3 i 1\nT 1.3\n", "line 1"},
        {"T 1.3\nT 1.4\n", "line 2: a second"},
        {"T 1.3\nV 1.3 i 2147483648\n", "line 2: not a value of type i"},
        {"T 1.3\nV 1.3 i -2147483649\n", "line 2"},
        {"T 1.3\nV 1.3 u 4294967296\n", "line 2"},
        {"T 1.3\nV 1.3 c 18446744073709551616\n", "line 2"},
        {"T 1.3\nV 1.3 s abc\n", "line 2"},
        {"T 1.3\nV 1.3 s zz\n", "line 2"},
        {"T 1.3\nV 1.3 x 1\n", "line 2"},
        {"T 1.3\nV 1.3 ii 1\n", "line 2"},
        {"T 1.3\nV 1.3\n", "line 2"},
        {"T 1.3\nV 1..3 i 1\n", "line 2"},
        {"T 1.3\nV 1.3 i\n", "line 2"},
        {"T 99999999999.1\n", "line 1"},
        {many, "more than 64 bindings"},
        {std::string(kMaxTrapPayload + 1, 'T'), "longer than"},
    };
    for (const auto& [text, why] : bad) {
        error.clear();
        EXPECT_FALSE(parse_trap_payload(text, back, error)) << text.substr(0, 60);
        EXPECT_NE(error.find(why), std::string::npos) << text.substr(0, 60) << ": " << error;
    }
}

// The shipped MIB module and the tables of docs/snmp.md are what the code
// serves. SMD_WRITE_SNMP_DOC=1 rewrites them.
TEST(SnmpMib, ShippedModuleAndDocsAreRendered) {
    const Oid root = {1, 3, 6, 1, 4, 1, 8072, 9999, 9999, 1};
    const std::string doc = std::string(SOURCE_DIR) + "/docs/snmp.md";
    const std::string mib = std::string(SOURCE_DIR) + "/docs/SMDGW-MIB.txt";
    if (testsupport::read_text(mib) != mib_text(root) && std::getenv("SMD_WRITE_SNMP_DOC"))
        std::ofstream(mib, std::ios::binary) << mib_text(root);
    EXPECT_EQ(testsupport::read_text(mib), mib_text(root))
        << mib << ": refresh with SMD_WRITE_SNMP_DOC=1 (or smdgw --snmp-mib)";
    testsupport::expect_doc_section(doc, "<!-- generated oids: begin -->",
                                    "<!-- generated oids: end -->", "\n" + oid_doc_table(root) + "\n",
                                    "SMD_WRITE_SNMP_DOC");
    std::string types = "\n| Type | Values | Precision | Units | 53.5 reads |\n|---|---|---|---|---|\n";
    for (const SensorTypeSpec& t : kSensorTypes)
        types += std::string("| ") + t.name + " (" + std::to_string(static_cast<int>(t.type)) +
                 ") | " + (t.type == SensorType::VoltsAC   ? "AC input voltages"
                           : t.type == SensorType::VoltsDC ? "rectifier output, DC bus voltages"
                           : t.type == SensorType::Amperes
                               ? "AC phase, module, DC and battery string currents, the battery's"
                               : t.type == SensorType::Celsius ? "battery temperature"
                                                           : "AC frequency") +
                 " | " + std::to_string(t.precision) + " | " + t.units + " | " +
                 std::to_string(sensor_value(53.5, t.precision)) + " |\n";
    testsupport::expect_doc_section(doc, "<!-- generated sensor types: begin -->",
                                    "<!-- generated sensor types: end -->", types + "\n",
                                    "SMD_WRITE_SNMP_DOC");
    std::string parts = "\n| Part | entPhysicalIndex of device N | Class | Its values after it |\n|---|---|---|---|\n";
    for (const ComponentSpec& c : kComponents) {
        const std::string at = "N×1000+" + std::to_string(c.first) +
                               (c.stride ? " + " + std::to_string(c.stride) + "×(k−1)" : "");
        std::string values;
        const std::vector<std::string> names = part_values(c);
        for (size_t i = 0; i < names.size(); ++i)
            values += (i ? ", +" : "+") + std::to_string(i + 1) + " `" +
                      (*c.section ? std::string(c.section) + (c.stride ? "[k-1]." : ".") : "") +
                      names[i] + "`";
        parts += std::string("| ") + c.words + (c.stride ? " k" : "") + " | " + at + " | " +
                 class_name(c.cls) + " (" + std::to_string(static_cast<int>(c.cls)) + ") | " +
                 values + " |\n";
    }
    testsupport::expect_doc_section(doc, "<!-- generated parts: begin -->",
                                    "<!-- generated parts: end -->", parts + "\n",
                                    "SMD_WRITE_SNMP_DOC");

    // An enterprise's own root: imported from SNMPv2-SMI, the rest unchanged.
    const std::string own = mib_text({1, 3, 6, 1, 4, 1, 99999, 7});
    EXPECT_NE(own.find("::= { enterprises 99999 7 }"), std::string::npos);
    EXPECT_NE(own.find("Counter64, enterprises"), std::string::npos);
    EXPECT_EQ(own.find("NET-SNMP-MIB"), std::string::npos);
}

}  // namespace
