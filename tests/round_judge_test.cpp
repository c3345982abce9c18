// The host's round judge: frame errors count against every device on the
// line, unanswered commands only for pairs the plant answers, a refusal is an
// answer, and the counts start afresh at each publication.

#include "host/round_judge.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One event on the line as the judge of the device at address 1 sees it.
struct Step {
    enum Kind { Cmd, Rsp, Err, Close } kind;
    uint8_t adr = 1;
    uint8_t cid1 = 0;
    uint8_t code = 0;  // CID2 of a command, RTN of a response
};

Step cmd(uint8_t cid1, uint8_t cid2, uint8_t adr = 1) { return {Step::Cmd, adr, cid1, cid2}; }
Step rsp(uint8_t cid1, uint8_t rtn = 0, uint8_t adr = 1) { return {Step::Rsp, adr, cid1, rtn}; }
Step err() { return {Step::Err}; }
Step close() { return {Step::Close}; }

// A whole round as the master polls it, every command answered.
std::vector<Step> good_round() {
    return {cmd(0x42, 0x44), rsp(0x42), cmd(0x40, 0x41), rsp(0x40), cmd(0x41, 0x41),
            rsp(0x41),       cmd(0xE1, 0x81), rsp(0xE1), cmd(0xE1, 0x90), rsp(0xE1)};
}

// Feeds the steps; returns the quality of every closed round.
std::vector<RoundQuality> run(RoundJudge& j, const std::vector<Step>& steps) {
    std::vector<RoundQuality> out;
    for (const Step& s : steps) {
        const uint8_t frame[6] = {0x21, s.adr, s.cid1, s.code, 0, 0};
        if (s.kind == Step::Err)
            j.on_frame_error();
        else if (s.kind == Step::Close)
            out.push_back(j.close_round());
        else
            j.on_frame(frame, sizeof frame);
    }
    return out;
}

std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Case {
    const char* what;
    std::vector<Step> steps;  // after one good round has taught the judge
    uint64_t frame_errors;
    uint64_t unanswered;
};

TEST(RoundJudge, DamageOfOneRoundAfterTheLineWasLearnt) {
    const Case cases[] = {
        {"every command answered", good_round(), 0, 0},
        {"a frame error anywhere",
         {cmd(0x42, 0x44), rsp(0x42), err(), cmd(0xE1, 0x90), rsp(0xE1)},
         1, 0},
        {"a lost response is unanswered",
         {cmd(0x42, 0x44), rsp(0x42), cmd(0x40, 0x41), cmd(0x41, 0x41), rsp(0x41), cmd(0xE1, 0x90),
          rsp(0xE1)},
         0, 1},
        {"a corrupt response is one frame error, not also unanswered",
         {cmd(0x42, 0x44), rsp(0x42), cmd(0x40, 0x41), err(), cmd(0xE1, 0x90), rsp(0xE1)},
         1, 0},
        {"a refusal (RTN 04) is an answer",
         {cmd(0x42, 0x44), rsp(0x42), cmd(0x40, 0x41), rsp(0x40, 0x04), cmd(0xE1, 0x90),
          rsp(0xE1)},
         0, 0},
        {"a vendor refusal (RTN 0xE0) is an answer",
         {cmd(0x42, 0x44), rsp(0x42), cmd(0xE1, 0x81), rsp(0xE1, 0xE0), cmd(0xE1, 0x90),
          rsp(0xE1)},
         0, 0},
        {"a vendor command the plant answers is no refusal",
         {cmd(0x42, 0x44), rsp(0x42), cmd(0xE1, 0x81), cmd(0xE1, 0x90), rsp(0xE1)},
         0, 1},
        {"a pair never answered is no damage",
         {cmd(0x42, 0x44), rsp(0x42), cmd(0xE1, 0xF7), cmd(0xE1, 0x90), rsp(0xE1)},
         0, 0},
        {"another plant's command ends the wait",
         {cmd(0x42, 0x44), rsp(0x42), cmd(0x40, 0x41), cmd(0x40, 0x41, 2), rsp(0x40, 0, 2),
          cmd(0xE1, 0x90), rsp(0xE1)},
         0, 1},
        {"another plant's response answers nothing of ours",
         {cmd(0x42, 0x44), rsp(0x42), cmd(0x40, 0x41), rsp(0x40, 0, 2), cmd(0xE1, 0x90),
          rsp(0xE1)},
         0, 1},
        {"a command still waiting at the close",
         {cmd(0x42, 0x44), rsp(0x42), cmd(0x40, 0x41), close()},
         0, 1},
        {"damage before a lost close counts in the next publication",
         {cmd(0x42, 0x44), err(), cmd(0xE1, 0x90), cmd(0x42, 0x44), rsp(0x42), cmd(0xE1, 0x90),
          rsp(0xE1)},
         1, 1},
    };
    for (const Case& c : cases) {
        RoundJudge j(1);
        run(j, good_round() + std::vector<Step>{close()});
        const auto q = run(j, c.steps + std::vector<Step>{close()});
        ASSERT_FALSE(q.empty()) << c.what;
        EXPECT_EQ(q.front().frame_errors, c.frame_errors) << c.what;
        EXPECT_EQ(q.front().unanswered_commands, c.unanswered) << c.what;
        EXPECT_EQ(q.front().complete(), c.frame_errors == 0 && c.unanswered == 0) << c.what;
        // The next publication starts from nothing.
        const auto next = run(j, good_round() + std::vector<Step>{close()});
        EXPECT_TRUE(next.back().complete()) << c.what;
    }
}

TEST(RoundJudge, APlantThatNeverAnswersAVendorCommandKeepsItsRoundsComplete) {
    RoundJudge j(1);
    std::vector<Step> round = {cmd(0x42, 0x44), rsp(0x42),       cmd(0xE1, 0xF7),
                               cmd(0x40, 0x41), rsp(0x40),       cmd(0xE1, 0x90),
                               rsp(0xE1),       close()};
    for (int k = 0; k < 5; ++k) {
        const auto q = run(j, round);
        EXPECT_TRUE(q.back().complete()) << "round " << k;
    }
    EXPECT_FALSE(j.answered_before(0xE1, 0xF7));
    EXPECT_TRUE(j.answered_before(0x40, 0x41));
}

TEST(RoundJudge, WithoutAnAddressEveryPlantsCommandsAreJudged) {
    RoundJudge j(-1);
    run(j, {cmd(0x40, 0x41, 3), rsp(0x40, 0, 3), close()});
    const auto q = run(j, {cmd(0x40, 0x41, 3), cmd(0x42, 0x44, 3), rsp(0x42, 0, 3), close()});
    EXPECT_EQ(q.back().unanswered_commands, 1u);
}

}  // namespace
