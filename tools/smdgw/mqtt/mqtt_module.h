#pragma once
// The MQTT service's entry in smdgw's table of services.

#include <memory>

#include "tools/smdgw/core/service_module.h"

namespace smdgw::mqtt {

std::unique_ptr<ServiceModule> service_module();

}  // namespace smdgw::mqtt
