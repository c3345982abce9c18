#pragma once
// The host's judgement of one data round, section by section. The driver
// publishes whatever its round buffer holds; this tells which sections of
// that picture the round refreshed intact, and which the plant has stopped
// answering.
//
// A command/response pair is refreshed by a round when its command was seen,
// the response that follows it (same CID1, return code 0) passed the codec,
// and no frame error came between them. A pair is doubtful when a frame
// error came while its response was awaited, and a section is doubtful when
// a response of its group came that answers no command seen intact (the
// command itself was corrupted): its data may be another command's. A
// section with a doubtful pair is not refreshed by the round, even when the
// round (left open by a lost close) refreshed that pair earlier on. A
// section is fresh when every pair
// of it that the plant answers was refreshed; a pair the plant has answered
// with data once is expected from then on. A pair of a section that has never
// been answered keeps the section from being fresh (nothing is taken on trust
// at start) unless the plant refuses it (a non-zero return code: it has no
// such data); a pair outside every section that is never answered damages
// nothing.
//
// A publication without one command seen before it did not come over a line
// the host watches (a driver handed its record directly, as tests do): it is
// taken as the driver gives it, every section fresh.
//
// The round opens where the driver's does, so the two never disagree on
// which frames belong to it: following a line, at the command 42/44 (the
// driver clears its round buffer there); as the line's master, at the first
// command the host sends after a round ended.
//
// A round on the wire (address 1; the 40/44 response is lost):
//   cmd 42/44 rsp   cmd 40/41 rsp   cmd 40/44 (nothing)   cmd 41/41 rsp ...  cmd E1/90 rsp
//   -> dc and rectifiers fresh, ac held: 40/44 was answered before; its
//      command heard no response, so for ac this round was silent only if
//      40/41 had been silent too.

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "host/frame_codec.h"
#include "host/plant_sections.h"

// What the host knows about the round it publishes.
struct RoundQuality {
    uint64_t frame_errors = 0;         // frames that failed the codec while the round was open
    uint64_t unanswered_commands = 0;  // expected pairs the round did not refresh
    bool restored = false;             // handed back from the history, not seen on the line
    // Each section's freshness after the round; a round made by hand (no
    // judge) is whole.
    smd::SectionStates sections = smd::kAllFresh;
    // Every expected pair refreshed (the round as a whole).
    bool complete() const { return unanswered_commands == 0; }
    // The sections this round refreshed; none for a restored round.
    smd::SectionMask fresh() const { return restored ? smd::kNoSection : smd::fresh_sections(sections); }
};

class RoundJudge {
   public:
    static constexpr unsigned kDefaultMissingRounds = 3;
    static constexpr unsigned kDefaultStaleRounds = 10;
    // Rounds after which a decoded pair never commanded is not expected.
    static constexpr unsigned kLearnRounds = 3;

    // The device's address; -1 judges the commands of every address.
    explicit RoundJudge(int address = -1) : address_(address) {}
    void set_address(int address) { address_ = address; }
    // As the line's master the host sees only its own commands and the
    // responses it accepted; a round opens with the first command.
    void set_master(bool master) { master_ = master; }
    // Rounds in a row in which a section's commands heard no response at all
    // before it counts as missing (at least 1).
    void set_missing_rounds(unsigned n) { missing_rounds_ = n == 0 ? 1 : n; }
    unsigned missing_rounds() const { return missing_rounds_; }
    // Closed rounds in a row, of those that commanded a section, that did not
    // refresh it before its values count as stale (at least 1).
    void set_stale_rounds(unsigned n) { stale_rounds_ = n == 0 ? 1 : n; }
    unsigned stale_rounds() const { return stale_rounds_; }

    // Every frame the device's decoder accepted, whether or not the address
    // filter delivers it (as master: the commands written and the responses
    // accepted): byte 1 ADR, 2 CID1, 3 CID2 or RTN.
    void on_frame(const uint8_t* frame, size_t length);
    // A frame the codec rejected on a followed line. Its address cannot be
    // trusted, so it ends the exchange under way of every device on the line
    // (the driver drops its expectation too); it may have been the response,
    // so the command was not met with silence.
    void on_frame_error();
    // As master: bytes that failed the codec while a response was awaited.
    // The exchange goes on (a good response may still come), but the command
    // was not met with silence.
    void on_line_noise();
    // As master: the awaited response did not come and the round ends
    // unpublished. Returns the sections' states after it.
    const smd::SectionStates& abandon_round();
    // Closes the round at its publication and returns its judgement.
    RoundQuality close_round();

    bool round_open() const { return open_; }
    // The sections' states after the last round that ended.
    const smd::SectionStates& sections() const { return states_; }
    // Rounds in a row in which the section heard no response at all.
    unsigned silent_rounds(smd::Section s) const { return silent_[index(s)]; }
    // The last round that sent commands heard nothing at all, from any
    // section: the line or the plant is gone, not one of its parts.
    bool plant_silent() const { return plant_silent_; }
    // Closed rounds in a row that commanded the section without refreshing it.
    unsigned unrefreshed_rounds(smd::Section s) const { return unrefreshed_[index(s)]; }
    // Whether the section's values are stale: not refreshed for
    // stale_rounds() rounds in a row while the plant answers other commands.
    bool stale(smd::Section s) const {
        return unrefreshed_[index(s)] >= stale_rounds_ &&
               states_[index(s)] != smd::Freshness::Missing;
    }
    // The section's pairs (CID1 << 8 | CID2) the last closed round expected
    // and did not refresh intact.
    const std::vector<uint16_t>& unrefreshed_pairs(smd::Section s) const {
        return lacking_[index(s)];
    }
    // CID1/CID2 pairs the plant has answered (with data or a refusal) since start.
    bool answered_before(uint8_t cid1, uint8_t cid2) const;
    size_t pairs_answered() const;

   private:
    struct Pair {
        bool data = false;     // answered with data (return code 0) at least once
        bool refused = false;  // answered with a non-zero return code
    };
    struct Pending {
        bool waiting = false;
        uint8_t cid1 = 0;
        uint8_t cid2 = 0;
        bool heard = false;  // a faulty frame came after the command
    };
    // What the round heard of one section's commands.
    struct SectionRound {
        unsigned commands = 0;
        unsigned answered = 0;  // a response passed the codec
        unsigned heard = 0;     // only a faulty frame followed
    };

    static size_t index(smd::Section s) { return static_cast<size_t>(s); }
    static uint16_t pair(uint8_t cid1, uint8_t cid2) {
        return static_cast<uint16_t>(cid1 << 8 | cid2);
    }
    bool ours(uint8_t adr) const { return address_ < 0 || adr == address_; }
    // The awaited pair's answer cannot be trusted.
    void doubt_pending();
    // A response of this group answers no command seen intact.
    void doubt_group(uint8_t cid1);
    bool is_answer(uint8_t adr, uint8_t cid1, uint8_t code) const;
    SectionRound* section_round(uint8_t cid1, uint8_t cid2);
    void start_round();
    // The command awaited got no response (a faulty frame or silence).
    void give_up_pending();
    // Adds the round's silence to each section's count of silent rounds.
    void count_silence();
    smd::Freshness unrefreshed_state(smd::Section s) const;

    int address_;
    bool master_ = false;
    unsigned missing_rounds_ = kDefaultMissingRounds;
    unsigned stale_rounds_ = kDefaultStaleRounds;
    // Every pair commanded in a round since start.
    std::map<uint16_t, Pair> pairs_;

    // The round being collected.
    bool open_ = false;
    Pending pending_;
    std::set<uint16_t> refreshed_;
    // Pairs commanded since the round opened: one asked again means the line
    // went round again under a lost close and opening.
    std::set<uint16_t> asked_;
    std::array<SectionRound, smd::kSectionCount> heard_{};
    std::array<bool, smd::kSectionCount> doubtful_{};
    std::array<bool, smd::kSectionCount> commanded_{};
    uint64_t frame_errors_ = 0;

    unsigned rounds_closed_ = 0;
    std::array<unsigned, smd::kSectionCount> silent_{};
    bool plant_silent_ = false;
    std::array<unsigned, smd::kSectionCount> unrefreshed_{};
    std::array<std::vector<uint16_t>, smd::kSectionCount> lacking_{};
    std::array<bool, smd::kSectionCount> ever_fresh_{};
    smd::SectionStates states_ = smd::kNeverRefreshed;
};
