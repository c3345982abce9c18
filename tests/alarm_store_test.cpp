// The host's alarm store: complete rounds change states at once, damaged
// rounds only when the next round agrees, "alarm_confirm_rounds" asks for
// that many rounds in a row, an alarm a complete round no longer reports is
// cleared, restored rounds change nothing, and loaded alarms raise no event.

#include "host/alarm_store.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One round's report of the fuse alarm: raised, clear, or not reported.
enum Report { On, Off, Absent };

struct RoundIn {
    bool complete;
    Report fuse;
};

rule_value fuse_report(bool active) {
    rule_value rv;
    rv.kind = rule_value::Kind::Bool;
    rv.level = 2;
    rv.key = "419501001001";
    rv.alarm_id = "419501001001";
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
        s.begin_round(r.complete);
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

constexpr bool C = true;   // complete round
constexpr bool D = false;  // damaged round

TEST(AlarmStore, ConfirmationRuleRoundByRound) {
    const Case cases[] = {
        {"complete rounds apply at once", 1,
         {{C, Off}, {C, On}, {C, On}, {C, Off}}, {"", "+", "", "-"}, 0, 0},
        {"one damaged round's raise is dropped", 1,
         {{C, Off}, {D, On}, {C, Off}}, {"", "", ""}, 1, 1},
        {"a damaged round's raise confirmed by the next complete round", 1,
         {{C, Off}, {D, On}, {C, On}}, {"", "", "+"}, 1, 0},
        {"two damaged rounds in a row apply", 1,
         {{C, Off}, {D, On}, {D, On}}, {"", "", "+"}, 1, 0},
        {"a damaged round's clear is held, then dropped", 1,
         {{C, On}, {D, Off}, {C, On}}, {"+", "", ""}, 1, 1},
        {"a damaged round that lost the alarm's section keeps a held change", 1,
         {{C, Off}, {D, On}, {D, Absent}, {D, On}}, {"", "", "", "+"}, 1, 0},
        {"a complete round that does not report a held raise drops it", 1,
         {{C, Off}, {D, On}, {C, Absent}}, {"", "", ""}, 1, 1},
        {"a damaged round that does not report an alarm leaves it", 1,
         {{C, On}, {D, Absent}, {D, Absent}}, {"+", "", ""}, 0, 0},
        {"a complete round that does not report it clears it", 1,
         {{C, On}, {C, Absent}}, {"+", "-nr"}, 0, 0},
        {"confirm 2: a complete round alone holds", 2,
         {{C, Off}, {C, On}, {C, On}, {C, Off}, {C, On}, {C, Off}, {C, Off}},
         {"", "", "+", "", "", "", "-"}, 3, 1},
        {"confirm 2: damaged then complete applies", 2,
         {{C, Off}, {D, On}, {C, On}}, {"", "", "+"}, 1, 0},
        {"confirm 3 counts consecutive rounds only", 3,
         {{C, Off}, {C, On}, {C, On}, {D, Off}, {C, On}, {C, On}, {D, On}},
         {"", "", "", "", "", "", "+"}, 2, 1},
        {"confirm 2: not reported is a reported clear", 2,
         {{C, On}, {C, On}, {C, Absent}, {C, Absent}}, {"", "+", "", "-nr"}, 2, 0},
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
    loaded.id = {"419501001001", "419501001001", 1};
    loaded.level = 2;
    loaded.message = "fuse 1 blown";
    loaded.since = 500;
    s.load_active({loaded});
    ASSERT_EQ(s.active().size(), 1u);
    EXPECT_FALSE(s.take_active_changed()) << "loading is no change";

    // A restored round reports the fuse clear and nothing else: no change.
    s.begin_round(true, true);
    EXPECT_TRUE(s.report({fuse_report(false)}, 1000).empty());
    EXPECT_TRUE(s.end_round(1000).empty());
    ASSERT_EQ(s.active().size(), 1u);
    EXPECT_EQ(s.active()[0].since, 500);

    // A damaged live round does not report it: still active.
    EXPECT_EQ(run(s, {{D, Absent}}), std::vector<std::string>{""});
    // The first complete live round reports the fuse clear: one "cleared"
    // carrying the message it was raised with.
    s.begin_round(true);
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
    // The next damaged round reports it clear: held, not applied.
    comm.active = false;
    s.begin_round(false);
    EXPECT_TRUE(s.report({comm}, 110).empty());
    s.end_round(110);
    EXPECT_EQ(s.active().size(), 1u);
    s.begin_round(true);
    EXPECT_EQ(s.report({comm}, 120).size(), 1u);
    s.end_round(120);
    EXPECT_TRUE(s.active().empty());
}

TEST(AlarmStore, SameAlarmIdWithAnotherSequenceIsAnotherAlarm) {
    AlarmStore s;
    rule_value a = fuse_report(true), b = fuse_report(true);
    b.seq = 2;
    s.begin_round(true);
    EXPECT_EQ(s.report({a, b}, 1).size(), 2u);
    s.end_round(1);
    // The counts changed: sequence 2 no longer reported by a complete round.
    s.begin_round(true);
    EXPECT_TRUE(s.report({a}, 2).empty());
    const auto gone = s.end_round(2);
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(gone[0].id.seq, 2);
    EXPECT_EQ(gone[0].reason, AlarmStore::kNotReported);
}

}  // namespace
