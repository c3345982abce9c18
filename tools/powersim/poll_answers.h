#pragma once
// The plant's answers to a master's polls, in the layouts of the polling
// decoders: floating point (CID2 0x41) or fixed point (CID2 0x42) analog
// values, the AC states (0x40/0x43), with or without tower blocks, and DC
// responses with or without the panel-count byte.
//
// Fixed-point rectifier analog response, two modules, no user values:
//   00  14E6  02  0FA0 00  0FA0 00      DATAFLAG, out_v 53.50 (hundredths),
//                                        N, then out_i 40.00 and a count per module

#include <json/value.h>

#include <cstdint>

#include "tools/common/frame_builder.h"

namespace powersim {

struct PollLayout {
    // A tower block per AC input and rectifier module: one tower value in the
    // float analog responses, one tower state in the state responses, an empty
    // block in the alarm responses (the fixed-point analog layouts have none).
    bool towers = false;
    // A panel-count byte after DATAFLAG in the DC responses (one panel without).
    bool panel_count = true;
};

// The response INFO to a poll command (DATAFLAG first), or false for a
// command the plant does not know.
bool poll_answer(const veltra_frames::PlantSnapshot& s, uint8_t cid1, uint8_t cid2,
                 const veltra_frames::Bytes& command_info, const PollLayout& layout,
                 veltra_frames::Bytes& out);

// Whether a command is one of the control commands the plant accepts
// (clock 0x41/0x4E, set-points 0x42/0x48 and 0x42/0x49, rectifier control 0x41/0x45).
bool is_control_command(uint8_t cid1, uint8_t cid2);

// The plant as the fixed-point decoders see it: values rounded to what the
// wire carries (hundredths, or whole numbers for user-defined values), none of
// them ever the two-equal-bytes "no value" marker.
veltra_frames::PlantSnapshot fixed_point_view(const veltra_frames::PlantSnapshot& s);

// What a polling driver's record should hold for this plant, layout and
// encoding, with the record's field names (towers put the tower value first
// in p41_41 of the floating-point layout).
Json::Value polled_snapshot_json(const veltra_frames::PlantSnapshot& s, const PollLayout& layout,
                                 bool fixed);

}  // namespace powersim
