#pragma once
// The commands of the family's own poll sequence, one per poll step.
//
// Step 100 with cg 1 and protocol version 0x20 sends the AC analog command:
//   7E  "20"  "01"  "40"  "41"  "E002"  "01"  "FD3C"  0D
//   SOI VER   ADR   CID1  CID2  LENGTH  INFO  CHKSUM  EOI   (INFO: the one byte cg)

#include <cstddef>
#include <cstdint>

namespace pmbus_poll {

// Poll steps; the number is the command last sent. 10 follows a completed round.
constexpr int kStepAcAnalog = 100;
constexpr int kStepAcStates = 101;
constexpr int kStepAcAlarms = 102;
constexpr int kStepRcAnalog = 104;
constexpr int kStepRcStates = 105;
constexpr int kStepRcAlarms = 106;
constexpr int kStepDcAnalog = 107;
constexpr int kStepDcAlarms = 108;
constexpr int kStepRoundDone = 10;

// Stands for the analog CID2: 0x41 (floating point) or 0x42 (fixed point).
constexpr uint8_t kAnalogCid2 = 0x00;

// What INFO a step's command carries.
enum class PollInfo : uint8_t {
    None,
    Cg,            // one byte cg
    CgUnlessNo40,  // one byte cg, none when "no_40_arg" is set
    DcAnalog,      // none with "no_42_arg"; else 0xFF, or cg on fixed point below version 0x21
    DcAlarms,      // none with "no_42_arg"; else 0xFF
};

struct PollStep {
    int step;
    uint8_t cid1;
    uint8_t cid2;  // kAnalogCid2: the analog CID2 of the number format in use
    PollInfo info;
};

constexpr PollStep kPollSteps[] = {
    {kStepAcAnalog, 0x40, kAnalogCid2, PollInfo::CgUnlessNo40},
    {kStepAcStates, 0x40, 0x43, PollInfo::Cg},
    {kStepAcAlarms, 0x40, 0x44, PollInfo::Cg},
    {kStepRcAnalog, 0x41, kAnalogCid2, PollInfo::None},
    {kStepRcStates, 0x41, 0x43, PollInfo::None},
    {kStepRcAlarms, 0x41, 0x44, PollInfo::None},
    {kStepDcAnalog, 0x42, kAnalogCid2, PollInfo::DcAnalog},
    {kStepDcAlarms, 0x42, 0x44, PollInfo::DcAlarms},
};

// The options that shape the commands.
struct PollOptions {
    bool use_float;
    uint8_t cg;
    int32_t no_40_arg;
    int32_t no_42_arg;
    uint8_t protocol_ver;
};

// One command as it goes on the line.
struct PollCommand {
    uint8_t cid1;
    uint8_t cid2;
    bool has_info;
    uint8_t info;
};

constexpr const PollStep* find_poll_step(int step) {
    for (const PollStep& s : kPollSteps)
        if (s.step == step) return &s;
    return nullptr;
}

constexpr PollCommand poll_command(const PollStep& s, const PollOptions& o) {
    PollCommand c{s.cid1, s.cid2, false, 0};
    if (c.cid2 == kAnalogCid2) c.cid2 = o.use_float ? 0x41 : 0x42;
    switch (s.info) {
        case PollInfo::None:
            break;
        case PollInfo::Cg:
            c.has_info = true;
            c.info = o.cg;
            break;
        case PollInfo::CgUnlessNo40:
            c.has_info = o.no_40_arg == 0;
            c.info = o.cg;
            break;
        case PollInfo::DcAnalog:
            c.has_info = o.no_42_arg == 0;
            c.info = (o.protocol_ver != 0x21 && !o.use_float) ? o.cg : 0xFF;
            break;
        case PollInfo::DcAlarms:
            c.has_info = o.no_42_arg == 0;
            c.info = 0xFF;
            break;
    }
    if (!c.has_info) c.info = 0;
    return c;
}

}  // namespace pmbus_poll
