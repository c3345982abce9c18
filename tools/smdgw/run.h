#pragma once
// Running smdgw once the command line is checked: configuration, plug-in,
// outputs, devices, the input to its end, then the after-input actions.

#include "tools/smdgw/options.h"

namespace smdgw {

// Returns the exit status (exit_status.h).
int run(const Options& opts);

}  // namespace smdgw
