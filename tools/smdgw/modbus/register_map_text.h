#pragma once
// docs/modbus.md's tables, rendered from the register map, the alarm bits
// and the bounds, one line per value; a test keeps the page equal to them.

#include <string>

namespace smdgw::modbus {

std::string register_map_markdown();
std::string alarm_bits_markdown();
std::string limits_markdown();

}  // namespace smdgw::modbus
