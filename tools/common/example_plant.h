#pragma once
// A realistic plant for examples and tests: two three-phase AC inputs at 50 Hz, twelve
// rectifier modules with user-defined values, two DC panels at about 53.5 V with load fuses.
// Values drift a little from round to round, and one fuse blows in the third round.

#include <string>

#include "tools/common/frame_builder.h"

namespace veltra_frames {

constexpr unsigned kExampleRounds = 3;

// The plant as the power system reports it in the given round (0 is the first).
PlantSnapshot example_plant(unsigned round);

// The line traffic of the given number of rounds at the given address.
std::string example_capture(unsigned rounds = kExampleRounds,
                            const LineAddress& at = LineAddress());

}  // namespace veltra_frames
