#pragma once
// What a sniffer on the line sees while the simulated master polls the
// simulated plant(s): every command followed by its response, round after
// round, with the line faults asked for.

#include <json/value.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tools/common/frame_builder.h"
#include "tools/powersim/faults.h"
#include "tools/powersim/plant_model.h"

namespace powersim {

struct LineFaults {
    double corrupt = 0.0;  // share of frames sent with a wrong checksum
    // Further share of commands sent with a wrong checksum; the plant still
    // answers them (it heard the command, a listener did not).
    double corrupt_commands = 0.0;
    double noise = 0.0;    // share of frames followed by stray bytes
    double drop = 0.0;     // share of responses lost
    // Share of commands lost on the line: neither the plant nor a sniffer
    // hears them, and the plant does not answer.
    double drop_commands = 0.0;
    double silence_seconds = 0.0;
    unsigned silence_round = 0;  // the line goes quiet before this round
    // Commands (CID1 << 8 | CID2) the plant never answers, as some plants
    // ignore vendor commands they do not know.
    std::vector<uint16_t> never_answered;
    // A command the plant stops answering for a range of rounds (a panel
    // controller that no longer answers one command but still the others).
    struct PairStop {
        uint16_t pair = 0;
        unsigned from = 0, to = 0;
    };
    std::vector<PairStop> stops;
};

struct RoundTraffic {
    unsigned round = 0;
    std::string wire;
    double silence_before = 0.0;  // seconds of quiet line before the round
    // Per plant: what was sent, whether every frame of the round went out
    // intact, and whether the round can be published (it closed while a round
    // was open: its own, or one an earlier lost close left open).
    Json::Value sent;
};

class LineTraffic {
   public:
    LineTraffic(std::vector<PlantModel> plants, std::vector<uint8_t> addresses,
                std::vector<Fault> faults, LineFaults line, uint32_t seed);

    // The next round of every plant on the line (rounds count from 1).
    RoundTraffic next_round();
    // The current snapshot of the plant at this address, faults applied (for
    // answering polls in responder mode).
    veltra_frames::PlantSnapshot snapshot_for(uint8_t address) const;
    bool has_address(uint8_t address) const;
    // How the plants' time passes (the battery's discharge); the round
    // interval per round unless set.
    void set_clock(const PlantClock& clock) { clocks_.assign(plants_.size(), clock); }
    // The battery's truth of the plant at this address, null without one.
    Json::Value battery_truth(uint8_t address) const;
    // Moves every plant on by one round without traffic (responder mode).
    void step();
    // Moves the plant at this address on by one round (responder mode: each
    // address is polled in its own rounds).
    void step_plant(uint8_t address);

    // Appends a frame, corrupted or followed by noise as the line faults say;
    // false when the frame was corrupted.
    bool emit(std::string& wire, std::string frame, double extra_corrupt = 0.0);
    // Whether this response is lost (the --drop share).
    bool drop_response() { return chance(line_.drop); }
    // Whether this command is lost (the --drop-commands share).
    bool drop_command() { return chance(line_.drop_commands); }
    // Whether a mute fault keeps the plant at this address from answering
    // commands of this CID1 in its current round (responder mode).
    bool muted_now(uint8_t address, uint8_t cid1) const;
    const LineFaults& line_faults() const { return line_; }

   private:
    bool chance(double p);
    void step_one(size_t k);

    std::vector<PlantModel> plants_;
    std::vector<uint8_t> addresses_;
    std::vector<Fault> faults_;
    LineFaults line_;
    std::mt19937 rng_;
    unsigned round_ = 0;
    std::vector<unsigned> plant_round_;  // per plant: its rounds so far
    std::vector<PlantClock> clocks_;     // per plant
    unsigned corrupted_ = 0;  // frames corrupted in the plant's round so far
    std::vector<bool> open_;  // per plant: a round is open on the capturing side
};

// The snapshot as JSON with the record's field names, for comparing what was
// sent with what a gateway published.
Json::Value snapshot_json(const veltra_frames::PlantSnapshot& s);

}  // namespace powersim
