#pragma once
// The Modbus TCP service's entry in smdgw's table of services.

#include <memory>

#include "tools/smdgw/core/service_module.h"

namespace smdgw::modbus {

std::unique_ptr<ServiceModule> service_module();

}  // namespace smdgw::modbus
