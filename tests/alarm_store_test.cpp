// The host's alarm store: a round that refreshed an alarm's sections changes
// it at once, a round that did not neither raises, confirms, denies nor
// clears it, "alarm_confirm_rounds" counts the rounds that refreshed them, an
// alarm such a round no longer reports is cleared, restored rounds change
// nothing, and loaded alarms raise no event.

#include "host/alarm_store.h"

#include <gtest/gtest.h>

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
