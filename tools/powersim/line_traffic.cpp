#include "tools/powersim/line_traffic.h"

#include <cmath>
#include <map>
#include <utility>

namespace powersim {

namespace {

Json::Value floats(const std::vector<float>& v) {
    Json::Value a(Json::arrayValue);
    for (float x : v) a.append(x);
    return a;
}

Json::Value bytes(const veltra_frames::Bytes& v) {
    Json::Value a(Json::arrayValue);
    for (uint8_t x : v) a.append(x);
    return a;
}

// Flips one hex digit of the CHKSUM field: the frame keeps its shape but
// fails the checksum.
void break_checksum(std::string& frame) {
    if (frame.size() < 3) return;
    char& c = frame[frame.size() - 2];
    c = c == '0' ? '1' : '0';
}

}  // namespace

Json::Value snapshot_json(const veltra_frames::PlantSnapshot& s) {
    Json::Value j;
    j["out_v"] = s.out_v;
    j["ac"]["ia"] = s.ac.ia;
    j["ac"]["ib"] = s.ac.ib;
    j["ac"]["ic"] = s.ac.ic;
    j["ac"]["channel_count"] = static_cast<unsigned>(s.ac.inputs.size());
    for (const auto& in : s.ac.inputs) {
        Json::Value c;
        c["a"] = in.a;
        c["b"] = in.b;
        c["c"] = in.c;
        c["f"] = in.f;
        c["p40_44"] = bytes(in.user_alarms);
        j["ac_channels"].append(c);
    }
    j["channel_count"] = static_cast<unsigned>(s.modules.size());
    for (const auto& m : s.modules) {
        Json::Value c;
        c["out_i"] = m.out_i;
        c["p41_41"] = floats(m.user_values);
        c["shutdown"] = m.shutdown;
        c["fault"] = m.fault;
        c["p41_44"] = bytes(m.user_alarms);
        j["channels"].append(c);
    }
    const char* names[] = {"dc", "dc2"};
    for (size_t p = 0; p < s.panels.size() && p < 2; ++p) {
        Json::Value d;
        d["v"] = s.panels[p].v;
        d["i"] = s.panels[p].i;
        d["dc_i"] = floats(s.panels[p].currents);
        d["alert_m"] = bytes(s.panels[p].fuses);
        j[names[p]] = d;
    }
    j["dc_number"] = static_cast<unsigned>(s.panels.size());
    return j;
}

LineTraffic::LineTraffic(std::vector<PlantModel> plants, std::vector<uint8_t> addresses,
                         std::vector<Fault> faults, LineFaults line, uint32_t seed)
    : plants_(std::move(plants)),
      addresses_(std::move(addresses)),
      faults_(std::move(faults)),
      line_(line),
      rng_(seed ^ 0x5EEDu),
      plant_round_(plants_.size(), 0) {}

bool LineTraffic::chance(double p) {
    if (p <= 0.0) return false;
    return std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < p;
}

bool LineTraffic::emit(std::string& wire, std::string frame, double extra_corrupt) {
    const bool ok = !chance(line_.corrupt) && !chance(extra_corrupt);
    if (!ok) {
        break_checksum(frame);
        ++corrupted_;
    }
    wire += frame;
    if (chance(line_.noise)) {
        // Stray bytes of a noisy line: never an SOI, so no frame is cut.
        const int n = std::uniform_int_distribution<int>(1, 8)(rng_);
        for (int k = 0; k < n; ++k)
            wire += static_cast<char>(std::uniform_int_distribution<int>(0x80, 0xFE)(rng_));
    }
    return ok;
}

void LineTraffic::step_one(size_t k) {
    ++plant_round_[k];
    if (clocks_.size() != plants_.size()) clocks_.assign(plants_.size(), PlantClock());
    RoundConditions c;
    c.seconds = clocks_[k].advance();
    round_conditions(faults_, plant_round_[k], c);
    plants_[k].step(c);
}

void LineTraffic::step() {
    ++round_;
    for (size_t k = 0; k < plants_.size(); ++k) step_one(k);
}

void LineTraffic::step_plant(uint8_t address) {
    for (size_t k = 0; k < addresses_.size(); ++k)
        if (addresses_[k] == address) step_one(k);
}

Json::Value LineTraffic::battery_truth(uint8_t address) const {
    for (size_t k = 0; k < addresses_.size(); ++k)
        if (addresses_[k] == address && plants_[k].params().battery.enabled())
            return plants_[k].battery().truth();
    return Json::Value();
}

bool LineTraffic::muted_now(uint8_t address, uint8_t cid1) const {
    for (size_t k = 0; k < addresses_.size(); ++k)
        if (addresses_[k] == address)
            return muted(faults_, plant_round_[k] == 0 ? 1 : plant_round_[k], cid1);
    return false;
}

bool LineTraffic::has_address(uint8_t address) const {
    for (uint8_t a : addresses_)
        if (a == address) return true;
    return false;
}

veltra_frames::PlantSnapshot LineTraffic::snapshot_for(uint8_t address) const {
    for (size_t k = 0; k < addresses_.size(); ++k) {
        if (addresses_[k] != address) continue;
        veltra_frames::PlantSnapshot s = plants_[k].snapshot();
        apply_faults(faults_, plant_round_[k] == 0 ? 1 : plant_round_[k], s);
        return s;
    }
    return {};
}

RoundTraffic LineTraffic::next_round() {
    step();
    RoundTraffic t;
    t.round = round_;
    if (line_.silence_round == round_) t.silence_before = line_.silence_seconds;
    t.sent = Json::Value(Json::arrayValue);
    for (size_t k = 0; k < plants_.size(); ++k) {
        veltra_frames::PlantSnapshot s = plants_[k].snapshot();
        apply_faults(faults_, round_, s);
        const veltra_frames::LineAddress at{0x21, addresses_[k]};
        // A round is published when its closing command and response arrive
        // intact while a round is open: opened by this round's command, or
        // left open by an earlier round whose close was lost.
        if (open_.size() != plants_.size()) open_.assign(plants_.size(), false);
        bool intact = true;
        bool opened = false;
        bool closed = false;
        corrupted_ = 0;
        const auto exchanges = veltra_frames::round_exchanges(s);
        // Per section (the CID1 of its commands): every exchange intact.
        std::map<uint8_t, bool> section_intact;
        for (size_t e = 0; e < exchanges.size(); ++e) {
            const auto& ex = exchanges[e];
            const bool opening = e == 0;
            const bool closing = ex.cid1 == 0xE1 && ex.cid2 == 0x90;
            // A lost command reaches no one: the plant does not answer it.
            const bool command_lost = chance(line_.drop_commands);
            const bool command_ok =
                !command_lost &&
                emit(t.wire, veltra_frames::command_frame(at, ex.cid1, ex.cid2, ex.command_info),
                     line_.corrupt_commands);
            if (opening && command_ok) opened = true;
            bool ok = false;
            const uint16_t pair = static_cast<uint16_t>(ex.cid1 << 8 | ex.cid2);
            bool mute = false;
            for (uint16_t p : line_.never_answered) mute = mute || p == pair;
            bool silenced = muted(faults_, round_, ex.cid1);
            for (const auto& st : line_.stops)
                silenced = silenced || (st.pair == pair && round_ >= st.from && round_ <= st.to);
            if (command_lost || silenced)
                ok = false;
            else if (mute)
                ok = !closing;  // nothing lost: there never is an answer
            else if (!chance(line_.drop))
                ok = emit(t.wire, veltra_frames::response_frame(at, ex.cid1, ex.response_info));
            if (closing) closed = command_ok && ok;
            intact = intact && command_ok && ok;
            if (ex.cid1 != 0xE1) {
                const auto it = section_intact.emplace(ex.cid1, true).first;
                it->second = it->second && command_ok && ok;
            }
        }
        const bool open_at_close = opened || open_[k];
        const bool published = closed && open_at_close;
        open_[k] = open_at_close && !published;
        Json::Value r;
        r["round"] = round_;
        r["address"] = addresses_[k];
        r["intact"] = intact;
        // Each section's exchanges of this round all went through.
        const std::pair<const char*, uint8_t> kSectionNames[] = {
            {"ac", 0x40}, {"rectifiers", 0x41}, {"dc", 0x42}};
        for (const auto& sn : kSectionNames) r["sections_intact"][sn.first] = section_intact[sn.second];
        r["published"] = published;
        r["corrupted"] = corrupted_;
        r["snapshot"] = snapshot_json(s);
        if (plants_[k].params().battery.enabled()) r["battery"] = plants_[k].battery().truth();
        t.sent.append(r);
    }
    return t;
}

}  // namespace powersim
