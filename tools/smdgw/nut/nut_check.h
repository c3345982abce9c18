#pragma once
// smdgw --check-config with --nut-listen: what the NUT server would serve,
// said without binding.

#include <cstdio>

#include "tools/smdgw/core/config.h"
#include "tools/smdgw/nut/nut_options.h"

namespace smdgw::nut {

// One line: the address, the UPS names, the login; kExitUsage when a device
// name cannot be a UPS name.
int check_nut(const NutOptions& options, const std::string& config_path, std::FILE* out);

}  // namespace smdgw::nut
