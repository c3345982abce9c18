#pragma once
// smdgw --check-config with --modbus-listen: the units the server would
// answer, said without binding.

#include <cstdio>
#include <string>

#include "tools/smdgw/modbus/modbus_options.h"

namespace smdgw::modbus {

// One line: the address and the units; kExitUsage when a device has no unit
// id or two share one.
int check_modbus(const ModbusOptions& options, const std::string& config_path, std::FILE* out);

}  // namespace smdgw::modbus
