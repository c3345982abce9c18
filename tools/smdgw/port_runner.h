#pragma once
// Following live lines: serial ports, pseudo-terminals or FIFOs, until
// SIGINT or SIGTERM. Devices on the same port share one line.

#include <string>

#include "tools/smdgw/gateway.h"

namespace smdgw {

// Runs until a signal arrives. Devices without a "port" of their own use
// default_port. Returns false when no port could be opened at all.
bool run_ports(Gateway& gw, const std::string& default_port);

}  // namespace smdgw
