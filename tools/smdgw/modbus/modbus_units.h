#pragma once
// Which device answers which Modbus unit id: its "modbus_unit", else its
// "address"; and the word order of its 32-bit values ("modbus_word_order").
// Two devices on one unit id, or a device without one, stop the start.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/smdgw/core/config.h"
#include "tools/smdgw/modbus/register_map.h"

namespace smdgw::modbus {

// Unit ids a Modbus server may answer (0 is broadcast, 248 to 255 reserved).
constexpr int kMinUnit = 1;
constexpr int kMaxUnit = 247;

struct Unit {
    uint8_t id = 0;
    std::string device;
    WordOrder order = WordOrder::Big;
};

// The units of the devices, in configuration order; false with errors, each
// naming the device and the key.
bool modbus_units(const GatewayConfig& cfg, std::vector<Unit>& units,
                  std::vector<std::string>& errors);

}  // namespace smdgw::modbus
