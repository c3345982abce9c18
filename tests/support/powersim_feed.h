#pragma once
// powersim playing plant and master onto one end of a pseudo-terminal pair,
// for tests that run a gateway on the other end.

#include <string>
#include <vector>

#include "tests/support/pty_bridge.h"

namespace testsupport {

// Runs `rounds` rounds with `seed` (and further powersim arguments) and
// returns when powersim is done; false with its error output otherwise.
bool feed_rounds(const PtyBridge& line, const std::string& rounds, const std::string& seed,
                 const std::vector<std::string>& extra = {}, std::string* error = nullptr);

}  // namespace testsupport
