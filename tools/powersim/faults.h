#pragma once
// Plant faults for a range of rounds: `KIND[:ARGS]@FROM[-TO]`, rounds counted
// from 1; `@3` is round 3 alone, `@3-5` rounds 3 to 5, `@3-` round 3 onwards.

#include <stdexcept>
#include <string>
#include <vector>

#include "tools/common/frame_builder.h"

namespace powersim {

enum class FaultKind {
    MainsFail,    // mains-fail:INPUT    no voltage on AC input 1 or 2
    BreakerTrip,  // breaker-trip:INPUT  AC input breaker tripped
    Surge,        // surge:INPUT         surge protector broken
    ModuleFault,  // module-fault:N      rectifier module N faulty
    Fan,          // fan:N               fan alarm of module N
    ModuleOff,    // module-off:N        module N switched off
    Fuse,         // fuse:PANEL:N        load fuse N of DC panel 1 or 2 blown
    DcLow,        // dc-low[:VOLTS]      DC bus voltage low (default 45 V)
    DcHigh,       // dc-high[:VOLTS]     DC bus voltage high (default 58 V)
    Load,         // load:AMPS           the DC load draws AMPS
    Mute,         // mute:SECTION        no response to the commands of the AC
                  //                     distribution (ac), the rectifiers
                  //                     (rectifiers) or the DC panels (dc)
    ModuleAbsent, // module-absent:N     module N pulled out: the plant reports
                  //                     one module fewer (the later ones move up)
};

struct Fault {
    FaultKind kind;
    unsigned a = 0;  // input, module or panel (1-based); Mute: the CID1 it silences
    unsigned b = 0;  // fuse (1-based)
    float volts = 45.0f;  // DcLow, DcHigh; Load: the amperes
    unsigned from = 1;
    unsigned to = 0;  // 0: no end
    bool active_in(unsigned round) const { return round >= from && (to == 0 || round <= to); }
};

// Throws std::invalid_argument with a message naming the bad part.
Fault parse_fault(const std::string& text);

// What the simulated plant has; a fault beyond it could never show.
struct PlantLimits {
    unsigned modules = 0;
    unsigned panels = 0;
    unsigned fuses = 0;  // per panel
};
// Throws std::invalid_argument naming the limit the fault passes.
void check_fault_fits(const Fault& f, const std::string& text, const PlantLimits& plant);
// The names accepted, for --help.
const char* fault_help();

// Whether a fault active in this round (1-based) keeps the plant from
// answering a command of this CID1.
bool muted(const std::vector<Fault>& faults, unsigned round, uint8_t cid1);

// What the faults active in this round (1-based) make of the plant's step:
// mains is gone when every AC input has failed or tripped; a load fault
// holds the DC load.
struct RoundConditions;
void round_conditions(const std::vector<Fault>& faults, unsigned round, RoundConditions& c);

// Applies every fault active in this round (1-based) to the snapshot.
void apply_faults(const std::vector<Fault>& faults, unsigned round,
                  veltra_frames::PlantSnapshot& s);

}  // namespace powersim
