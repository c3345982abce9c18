// The host's alarm store: a round that refreshed an alarm's sections changes
// it at once, a round that did not neither raises, confirms, denies nor
// clears it, "alarm_confirm_rounds" counts the rounds that refreshed them, an
// alarm such a round no longer reports is cleared, restored rounds change
// nothing, and loaded alarms raise no event.

#include "host/alarm_store.h"
#include "host/alarm_policy.h"
#include "tests/support/doc_section.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// One round's report of the fuse alarm: raised, clear, or not reported.
enum Report { On, Off, Absent };

struct RoundIn {
    smd::SectionMask fresh;
    Report fuse;
};

// A load fuse of DC panel 1: it depends on the DC section.
rule_value fuse_report(bool active) {
    rule_value rv;
    rv.kind = rule_value::Kind::Bool;
    rv.level = 2;
    rv.key = "120600470010";
    rv.alarm_id = "120600470010";
    rv.value_text = active ? "1" : "0";
    rv.message = active ? "fuse 1 blown" : "";
    rv.active = active;
    rv.seq = 1;
    return rv;
}

// Runs the rounds; returns per round "+" for raised, "-" for cleared, "-nr"
// for cleared as not reported, "" for no change.
std::vector<std::string> run(AlarmStore& s, const std::vector<RoundIn>& rounds) {
    std::vector<std::string> out;
    std::time_t now = 1000;
    for (const RoundIn& r : rounds) {
        std::string seen;
        s.begin_round(r.fresh);
        std::vector<rule_value> batch;
        if (r.fuse != Absent) batch.push_back(fuse_report(r.fuse == On));
        for (const AlarmStateChange& c : s.report(batch, now)) seen += c.active ? "+" : "-";
        for (const AlarmStateChange& c : s.end_round(now))
            seen += std::string(c.active ? "+" : "-") + (c.reason.empty() ? "" : "nr");
        out.push_back(seen);
        now += 10;
    }
    return out;
}

struct Case {
    const char* what;
    unsigned confirm;
    std::vector<RoundIn> rounds;
    std::vector<std::string> changes;
    uint64_t held, dropped;
};

constexpr smd::SectionMask F = smd::kAllSections;  // every section refreshed
// The DC responses lost: the AC and rectifier sections refreshed.
constexpr smd::SectionMask L = smd::kAllSections & ~smd::section_bit(smd::Section::Dc);

TEST(AlarmStore, ConfirmationRuleRoundByRound) {
    const Case cases[] = {
        {"rounds that refreshed the panel apply at once", 1,
         {{F, Off}, {F, On}, {F, On}, {F, Off}}, {"", "+", "", "-"}, 0, 0},
        {"a round without the panel raises nothing", 1,
         {{F, Off}, {L, On}, {F, Off}}, {"", "", ""}, 0, 0},
        {"a round without the panel clears nothing, reported or not", 1,
         {{F, On}, {L, Off}, {L, Absent}, {F, On}}, {"+", "", "", ""}, 0, 0},
        {"a true fault on a noisy line comes with the first round with the panel", 1,
         {{F, Off}, {L, On}, {L, On}, {F, On}}, {"", "", "", "+"}, 0, 0},
        {"not reported by a round with the panel: cleared", 1,
         {{F, On}, {L, Absent}, {F, Absent}}, {"+", "", "-nr"}, 0, 0},
        {"confirm 2: a round without the panel does not break the count", 2,
         {{F, Off}, {F, On}, {L, Off}, {F, On}}, {"", "", "", "+"}, 1, 0},
        {"confirm 2: the old state again drops the held change", 2,
         {{F, Off}, {F, On}, {F, Off}, {F, On}, {F, On}}, {"", "", "", "", "+"}, 2, 1},
        {"confirm 2: not reported twice clears", 2,
         {{F, On}, {F, On}, {F, Absent}, {L, Absent}, {F, Absent}}, {"", "+", "", "", "-nr"}, 2,
         0},
        {"confirm 3 counts the rounds with the panel only", 3,
         {{F, Off}, {F, On}, {L, Off}, {F, On}, {L, On}, {F, On}}, {"", "", "", "", "", "+"}, 1,
         0},
    };
    for (const Case& c : cases) {
        AlarmStore s(c.confirm);
        EXPECT_EQ(run(s, c.rounds), c.changes) << c.what;
        EXPECT_EQ(s.changes_held(), c.held) << c.what;
        EXPECT_EQ(s.changes_dropped(), c.dropped) << c.what;
    }
}

TEST(AlarmStore, RestoredRoundsChangeNothingAndLoadedAlarmsRaiseNoEvent) {
    AlarmStore s;
    ActiveAlarm loaded;
    loaded.id = {"120600470010", "120600470010", 1};
    loaded.level = 2;
    loaded.message = "fuse 1 blown";
    loaded.since = 500;
    s.load_active({loaded});
    ASSERT_EQ(s.active().size(), 1u);
    EXPECT_FALSE(s.take_active_changed()) << "loading is no change";

    // A restored round reports the fuse clear and nothing else: no change.
    s.begin_round(F, true);
    EXPECT_TRUE(s.report({fuse_report(false)}, 1000).empty());
    EXPECT_TRUE(s.end_round(1000).empty());
    ASSERT_EQ(s.active().size(), 1u);
    EXPECT_EQ(s.active()[0].since, 500);

    // A live round without the panel does not report it: still active.
    EXPECT_EQ(run(s, {{L, Absent}}), std::vector<std::string>{""});
    // The first live round with the panel reports the fuse clear: one
    // "cleared" carrying the message it was raised with.
    s.begin_round(F);
    const auto changes = s.report({fuse_report(false)}, 2000);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_FALSE(changes[0].active);
    EXPECT_EQ(changes[0].message, "fuse 1 blown");
    EXPECT_TRUE(s.end_round(2000).empty());
    EXPECT_TRUE(s.active().empty());
    EXPECT_TRUE(s.take_active_changed());
}

TEST(AlarmStore, ReportsOutsideARoundApplyAtOnce) {
    // The communication alarm on the host's timer: no round to confirm it.
    AlarmStore s;
    rule_value comm = fuse_report(true);
    comm.key = comm.alarm_id = "120600180010";
    ASSERT_EQ(s.report({comm}, 100).size(), 1u);
    // It depends on no section: the next round clears it, whatever the
    // round refreshed.
    comm.active = false;
    s.begin_round(smd::kNoSection);
    EXPECT_EQ(s.report({comm}, 110).size(), 1u);
    s.end_round(110);
    EXPECT_TRUE(s.active().empty());
    // The host's own alarms apply at once inside a round too.
    s.begin_round(smd::kNoSection);
    rule_value section = fuse_report(true);
    section.key = "section_missing";
    section.alarm_id = "smdgw-section-dc";
    EXPECT_EQ(s.report({section}, 120, true).size(), 1u);
    s.end_round(120);
    EXPECT_EQ(s.active().size(), 1u);
}

TEST(AlarmStore, SameAlarmIdWithAnotherSequenceIsAnotherAlarm) {
    AlarmStore s;
    rule_value a = fuse_report(true), b = fuse_report(true);
    b.seq = 2;
    s.begin_round(F);
    EXPECT_EQ(s.report({a, b}, 1).size(), 2u);
    s.end_round(1);
    // The counts changed: sequence 2 no longer reported by a round with the panel.
    s.begin_round(F);
    EXPECT_TRUE(s.report({a}, 2).empty());
    const auto gone = s.end_round(2);
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(gone[0].id.seq, 2);
    EXPECT_EQ(gone[0].reason, AlarmStore::kNotReported);
}

}  // namespace

// The policy between the judgement and the outputs: delays, flapping and
// acknowledgement, on the host's monotonic clock.
namespace {

AlarmStateChange judged(bool active) {
    AlarmStateChange c;
    c.id = AlarmIdentity{"PowerOff", "419415001", 100};
    c.active = active;
    c.level = 1;
    c.message = "输入电源中断告警";
    return c;
}

AlarmPolicy policy_of(const char* json) {
    Json::Value v;
    std::istringstream in(json);
    in >> v;
    std::vector<std::string> problems;
    AlarmPolicy p;
    p.configure(AlarmPolicyConfig::parse(v, problems));
    EXPECT_TRUE(problems.empty()) << problems.front();
    return p;
}

// Judged states at whole seconds (1 raised, 0 cleared), the policy ticked
// every second up to `end`; returns "+t" / "-t" per shown change, with
// "(flapping)" or "(stable)" after the time when that is the reason.
std::string shown(AlarmPolicy& p, const std::vector<std::pair<int, bool>>& at, int end) {
    std::string out;
    const auto note = [&out](const std::vector<AlarmStateChange>& cs, int t) {
        for (const AlarmStateChange& c : cs) {
            out += (out.empty() ? "" : " ") + std::string(c.active ? "+" : "-") +
                   std::to_string(t);
            if (!c.reason.empty()) out += "(" + c.reason + ")";
        }
    };
    size_t k = 0;
    for (int t = 0; t <= end; ++t) {
        for (; k < at.size() && at[k].first == t; ++k)
            note(p.on_judged(judged(at[k].second), t, 1000 + t), t);
        note(p.tick(t, 1000 + t), t);
    }
    return out;
}

}  // namespace

TEST(AlarmPolicy, DelaysAndFlappingShowWhatHeld) {
    struct Case {
        const char* policy;
        std::vector<std::pair<int, bool>> judged;
        int end;
        const char* shown;
    } cases[] = {
        // No policy: every judged change at once.
        {"{}", {{0, true}, {3, false}}, 10, "+0 -3"},
        // A 30 s raise delay hides a 20 s blip and raises a 40 s fault at 30 s.
        {R"({"alarms": {"419415001": {"raise_delay_s": 30}}})",
         {{0, true}, {20, false}, {50, true}, {90, false}}, 100, "+80 -90"},
        // The same by pattern, and the level's default it overrides.
        {R"({"levels": {"1": {"raise_delay_s": 5}}, "alarms": {"4194*": {"raise_delay_s": 30}}})",
         {{0, true}}, 40, "+30"},
        {R"({"levels": {"1": {"raise_delay_s": 5}}, "alarms": {"2206*": {"raise_delay_s": 30}}})",
         {{0, true}}, 40, "+5"},
        // A clear delay keeps a short clear from being shown.
        {R"({"default": {"clear_delay_s": 10}})", {{0, true}, {5, false}, {9, true}, {20, false}},
         40, "+0 -30"},
        // Ten toggles in 30 s: the first change, flapping, and its real state
        // once quiet for 30 s.
        {R"({"default": {"flap_changes": 2, "clear_delay_s": 5, "flap_window_s": 60,
             "flap_quiet_s": 30}})",
         {{0, true}, {3, false}, {6, true}, {9, false}, {12, true}, {15, false}, {18, true},
          {21, false}, {24, true}, {27, false}},
         70, "+0 +6(flapping) -57(stable)"},
        // Settled raised: one event says so.
        {R"({"default": {"flap_changes": 1, "flap_quiet_s": 10}})",
         {{0, true}, {1, false}, {2, true}}, 30, "+0 +1(flapping) +12(stable)"},
    };
    for (const Case& c : cases) {
        AlarmPolicy p = policy_of(c.policy);
        EXPECT_EQ(shown(p, c.judged, c.end), c.shown) << c.policy;
    }
}

TEST(AlarmPolicy, PendingListsARaiseWaitingOutItsDelay) {
    AlarmPolicy p = policy_of(R"({"default": {"raise_delay_s": 30}})");
    EXPECT_TRUE(p.on_judged(judged(true), 0, 1000).empty());
    ASSERT_EQ(p.pending().size(), 1u);
    EXPECT_EQ(p.pending()[0].since, 1000);
    EXPECT_TRUE(p.active().empty());
    EXPECT_TRUE(p.take_changed());
    EXPECT_EQ(p.tick(30, 1030).size(), 1u);
    EXPECT_TRUE(p.pending().empty());
    ASSERT_EQ(p.active().size(), 1u);
    EXPECT_EQ(p.active()[0].since, 1000);  // when the fault began
}

TEST(AlarmPolicy, AcknowledgementHoldsUntilTheAlarmClears) {
    AlarmPolicy p = policy_of(R"({"default": {"flap_changes": 2, "flap_quiet_s": 10}})");
    const AlarmIdentity id = judged(true).id;
    EXPECT_FALSE(p.acknowledge(id, AlarmAck{"ana", "", 1001}));  // not raised
    p.on_judged(judged(true), 0, 1000);
    EXPECT_TRUE(p.acknowledge(id, AlarmAck{"ana", "on my way", 1001}));
    EXPECT_EQ(p.active()[0].ack.by, "ana");
    // Restarted with it: still acknowledged.
    AlarmPolicy again;
    again.load_active(p.active());
    EXPECT_EQ(again.active()[0].ack.comment, "on my way");
    EXPECT_TRUE(again.unacknowledge(id));
    EXPECT_FALSE(again.active()[0].ack.set());
    // Cleared and raised again: nobody's.
    p.on_judged(judged(false), 1, 1001);
    p.on_judged(judged(true), 20, 1020);
    EXPECT_FALSE(p.active()[0].ack.set());
    // Flapping keeps the alarm raised, and whoever handles it.
    p.acknowledge(id, AlarmAck{"ana", "", 1021});
    p.on_judged(judged(false), 21, 1021);
    p.on_judged(judged(true), 22, 1022);
    ASSERT_EQ(p.active().size(), 1u);
    EXPECT_TRUE(p.active()[0].flapping);
    EXPECT_EQ(p.active()[0].ack.by, "ana");
}

// docs/alarms.md's table of the policy keys is rendered from the key table;
// the defaults it shows are those a policy without the key has.
//   SMD_WRITE_ALARM_DOC=1 ./build/unit_tests --gtest_filter='AlarmPolicy.*'
TEST(AlarmPolicy, KeyTableIsTheDocsAndTheDefaults) {
    const AlarmTiming t;
    const std::map<std::string, double> defaults = {
        {"raise_delay_s", t.raise_delay_s}, {"clear_delay_s", t.clear_delay_s},
        {"flap_changes", t.flap_changes},   {"flap_window_s", t.flap_window_s},
        {"flap_quiet_s", t.flap_quiet_s}};
    std::string table = "\n| Key | Default | Largest | Meaning |\n| --- | --- | --- | --- |\n";
    const auto number = [](double v) { return std::to_string(static_cast<long long>(v)); };
    for (const AlarmTimingKey& k : kAlarmTimingKeys) {
        EXPECT_EQ(defaults.at(k.name), k.dflt) << k.name;
        table += std::string("| `") + k.name + "` | " + number(k.dflt) + " | " + number(k.max) +
                 " | " + k.meaning + " |\n";
    }
    testsupport::expect_doc_section(std::string(SOURCE_DIR) + "/docs/alarms.md",
                                    "<!-- generated alarm policy keys: begin -->",
                                    "<!-- generated alarm policy keys: end -->", table + "\n",
                                    "SMD_WRITE_ALARM_DOC");
}

TEST(AlarmPolicy, ConfigurationProblemsNameTheirPlace) {
    const struct {
        const char* json;
        const char* problem;
    } cases[] = {
        {R"({"default": {"raise_delay_s": -1}})",
         "\"alarm_policy.default.raise_delay_s\" must be a number of seconds 0 to 86400 (is -1)"},
        {R"({"levels": {"one": {}}})", "\"alarm_policy.levels.one\": a level must be a whole number"},
        {R"({"alarms": {"4194*": {"flap_changes": 2.5}}})",
         "\"alarm_policy.alarms.4194*.flap_changes\" must be an integer 0 to 1000 (is 2.5)"},
        {R"({"alarms": {"4194*": {"raise_delay": 2}}})",
         "\"alarm_policy.alarms.4194*\": unknown key \"raise_delay\" (known: raise_delay_s, "
         "clear_delay_s, flap_changes, flap_window_s, flap_quiet_s)"},
        {R"({"delays": {}})", "\"alarm_policy\": unknown key \"delays\" (known: default, levels, alarms)"},
    };
    for (const auto& c : cases) {
        Json::Value v;
        std::istringstream in(c.json);
        in >> v;
        std::vector<std::string> problems;
        AlarmPolicyConfig::parse(v, problems);
        ASSERT_EQ(problems.size(), 1u) << c.json;
        EXPECT_EQ(problems[0], c.problem);
    }
    EXPECT_TRUE(alarm_pattern_match("4194305??", "419430501"));
    EXPECT_FALSE(alarm_pattern_match("4194305?", "419430501"));
}
