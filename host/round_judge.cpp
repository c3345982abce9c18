#include "host/round_judge.h"

#include <iterator>
#include <optional>

namespace {

// Return codes a response carries when it refuses a command; they are never
// command codes. 0x80 to 0xEF are the vendor's own codes, shared with vendor
// commands, and are read as an answer only where one is awaited.
constexpr bool is_error_rtn(uint8_t code) { return code >= 0x01 && code <= 0x06; }
constexpr bool is_vendor_code(uint8_t code) { return code >= 0x80 && code <= 0xEF; }

// The command that opens a round on a followed line (the driver clears its
// round buffer there).
constexpr uint8_t kOpenCid1 = 0x42;
constexpr uint8_t kOpenCid2 = 0x44;

// The section whose commands carry this CID1, if any.
std::optional<smd::Section> section_of_group(uint8_t cid1) {
    for (const smd::PlantSection& p : smd::kPlantSections)
        if (p.pairs[0] >> 8 == cid1) return p.section;
    return std::nullopt;
}

}  // namespace

bool RoundJudge::answered_before(uint8_t cid1, uint8_t cid2) const {
    const auto it = pairs_.find(pair(cid1, cid2));
    return it != pairs_.end() && (it->second.data || it->second.refused);
}

size_t RoundJudge::pairs_answered() const {
    size_t n = 0;
    for (const auto& kv : pairs_) n += kv.second.data || kv.second.refused ? 1 : 0;
    return n;
}

bool RoundJudge::is_answer(uint8_t adr, uint8_t cid1, uint8_t code) const {
    if (code == 0 || is_error_rtn(code)) return true;
    // A vendor code from the plant that was just asked, under the CID1 asked,
    // answers the command, unless it is itself a command that the plant has
    // answered before (the master moved on).
    return is_vendor_code(code) && pending_.waiting && ours(adr) && cid1 == pending_.cid1 &&
           !answered_before(cid1, code);
}

RoundJudge::SectionRound* RoundJudge::section_round(uint8_t cid1, uint8_t cid2) {
    const auto s = smd::section_of_pair(cid1, cid2);
    return s ? &heard_[index(*s)] : nullptr;
}

void RoundJudge::start_round() {
    open_ = true;
    pending_ = Pending();
    refreshed_.clear();
    asked_.clear();
    heard_ = {};
    doubtful_ = {};
    commanded_ = {};
    frame_errors_ = 0;
}

void RoundJudge::give_up_pending() {
    if (!pending_.waiting) return;
    pending_.waiting = false;
    if (!pending_.heard) return;
    if (SectionRound* s = section_round(pending_.cid1, pending_.cid2)) ++s->heard;
}

void RoundJudge::doubt_pending() {
    if (!pending_.waiting) return;
    const uint16_t p = pair(pending_.cid1, pending_.cid2);
    refreshed_.erase(p);
    if (const auto s = smd::section_of_pair(pending_.cid1, pending_.cid2))
        doubtful_[index(*s)] = true;
}

void RoundJudge::doubt_group(uint8_t cid1) {
    if (const auto s = section_of_group(cid1)) doubtful_[index(*s)] = true;
}

void RoundJudge::on_frame(const uint8_t* frame, size_t length) {
    if (length < smd::kHeaderBytes) return;
    const uint8_t adr = frame[1], cid1 = frame[2], code = frame[3];
    if (is_answer(adr, cid1, code)) {
        // A response of another plant answers nothing of ours.
        if (!ours(adr)) return;
        if (!pending_.waiting || cid1 != pending_.cid1) {
            // Ours, but not the answer awaited: its command was not seen
            // intact, so the driver may have taken it for another command's
            // answer. Neither its group nor the pair awaited can be trusted
            // in this round.
            if (open_) {
                doubt_group(cid1);
                doubt_pending();
            }
            give_up_pending();
            return;
        }
        pending_.waiting = false;
        Pair& p = pairs_[pair(pending_.cid1, pending_.cid2)];
        if (code == 0) {
            p.data = true;
            refreshed_.insert(pair(pending_.cid1, pending_.cid2));
        } else {
            p.refused = true;
        }
        if (SectionRound* s = section_round(pending_.cid1, pending_.cid2)) ++s->answered;
        return;
    }
    // A command: whatever was awaited got no response.
    give_up_pending();
    if (!ours(adr)) return;
    if (master_ ? !open_ : cid1 == kOpenCid1 && code == kOpenCid2) start_round();
    if (!open_) return;  // the driver ignores it as well
    pending_.waiting = true;
    pending_.cid1 = cid1;
    pending_.cid2 = code;
    pending_.heard = false;
    pairs_.emplace(pair(cid1, code), Pair());
    // Asked again in a round a lost close left open: only this command's
    // answer refreshes the pair. The line has gone round again, and the
    // driver's decode of a section's first pair replaces what the section's
    // other pairs filled in before (41/41 writes every module anew, the
    // alarms of 41/44 with them): so none of the section's pairs counts
    // until this time round refreshes it.
    // (The master's own rounds ask a pair again only to retry it.)
    if (!asked_.insert(pair(cid1, code)).second && !master_) {
        // This time round begins for the section: its pairs count, and
        // count as asked, from here.
        const auto s = smd::section_of_pair(cid1, code);
        const auto of_section = [&](uint16_t p) {
            return s && smd::section_of_pair(static_cast<uint8_t>(p >> 8),
                                             static_cast<uint8_t>(p & 0xFF)) == s;
        };
        for (std::set<uint16_t>* set : {&refreshed_, &asked_})
            for (auto it = set->begin(); it != set->end();)
                it = of_section(*it) ? set->erase(it) : std::next(it);
        asked_.insert(pair(cid1, code));
    }
    refreshed_.erase(pair(cid1, code));
    if (SectionRound* s = section_round(cid1, code)) ++s->commands;
    if (const auto s = smd::section_of_pair(cid1, code)) commanded_[index(*s)] = true;
}

void RoundJudge::on_frame_error() {
    if (open_) ++frame_errors_;
    // It may have been the response awaited, garbled.
    doubt_pending();
    pending_.heard = true;
    give_up_pending();
}

void RoundJudge::on_line_noise() {
    if (open_) ++frame_errors_;
    if (pending_.waiting) pending_.heard = true;
}

void RoundJudge::count_silence() {
    bool commanded = false, heard = false;
    for (const SectionRound& h : heard_) {
        commanded = commanded || h.commands > 0;
        heard = heard || h.answered > 0 || h.heard > 0;
    }
    if (commanded) plant_silent_ = !heard;
    for (smd::Section s : smd::kSections) {
        const SectionRound& h = heard_[index(s)];
        if (h.answered > 0)
            silent_[index(s)] = 0;
        else if (h.commands > 0 && h.heard == 0)
            ++silent_[index(s)];
        // Commands met only by faulty frames, or none seen: nothing is known.
    }
    heard_ = {};
}

smd::Freshness RoundJudge::unrefreshed_state(smd::Section s) const {
    if (silent_[index(s)] >= missing_rounds_) return smd::Freshness::Missing;
    return ever_fresh_[index(s)] ? smd::Freshness::Held : smd::Freshness::Never;
}

const smd::SectionStates& RoundJudge::abandon_round() {
    if (!open_) return states_;
    give_up_pending();
    count_silence();
    for (smd::Section s : smd::kSections) {
        smd::Freshness& f = states_[index(s)];
        // The last publication's sections stand, except that silence now
        // shows (or no longer does).
        if (f != smd::Freshness::Fresh || silent_[index(s)] >= missing_rounds_)
            f = unrefreshed_state(s);
    }
    open_ = false;
    return states_;
}

RoundQuality RoundJudge::close_round() {
    give_up_pending();
    count_silence();
    RoundQuality q;
    q.frame_errors = frame_errors_;
    if (pairs_.empty()) {
        // Not one command seen: the round did not come over a line the host
        // watches (a driver handed its record directly). There is nothing
        // to judge it by, and it is taken as the driver gives it.
        ever_fresh_.fill(true);
        states_.fill(smd::Freshness::Fresh);
        q.sections = states_;
        open_ = false;
        return q;
    }
    std::array<bool, smd::kSectionCount> expected{}, whole{};
    whole.fill(true);
    const auto lacks = [&](std::optional<smd::Section> s) {
        ++q.unanswered_commands;
        if (s) whole[index(*s)] = false;
    };
    for (const auto& kv : pairs_) {
        const auto s = smd::section_of_pair(static_cast<uint8_t>(kv.first >> 8),
                                            static_cast<uint8_t>(kv.first & 0xFF));
        const Pair& p = kv.second;
        if (p.data) {
            if (s) expected[index(*s)] = true;
            if (!refreshed_.count(kv.first)) lacks(s);
        } else if (s && !p.refused) {
            // Never answered with data: it keeps its section from being
            // fresh until it is, unless the plant refuses it.
            lacks(s);
        }
    }
    // Following a line, the pairs the driver decodes count before their
    // command was ever seen, for the first rounds at least.
    ++rounds_closed_;
    if (!master_) {
        for (const smd::PlantSection& sec : smd::kPlantSections) {
            for (uint16_t p : sec.decoded) {
                if (p == 0 || pairs_.count(p)) continue;
                if (rounds_closed_ > kLearnRounds) continue;  // the master does not send it
                lacks(sec.section);
            }
        }
    }
    for (smd::Section s : smd::kSections)
        if (doubtful_[index(s)] && whole[index(s)]) lacks(s);
    for (smd::Section s : smd::kSections) {
        const size_t k = index(s);
        lacking_[k].clear();
        if (expected[k] && whole[k]) {
            ever_fresh_[k] = true;
            states_[k] = smd::Freshness::Fresh;
            unrefreshed_[k] = 0;
            continue;
        }
        states_[k] = unrefreshed_state(s);
        // A section the master never commands is not stale: it is not polled.
        if (commanded_[k]) ++unrefreshed_[k];
        for (const auto& kv : pairs_) {
            if (smd::section_of_pair(static_cast<uint8_t>(kv.first >> 8),
                                     static_cast<uint8_t>(kv.first & 0xFF)) != s)
                continue;
            if (kv.second.data ? !refreshed_.count(kv.first) : !kv.second.refused)
                lacking_[k].push_back(kv.first);
        }
    }
    q.sections = states_;
    open_ = false;
    pending_ = Pending();
    return q;
}
