#pragma once
// The NUT network service's entry in smdgw's table of services.

#include <memory>

#include "tools/smdgw/core/service_module.h"

namespace smdgw::nut {

std::unique_ptr<ServiceModule> service_module();

}  // namespace smdgw::nut
