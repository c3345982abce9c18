#pragma once
// The HTTP service's entry in smdgw's table of services.

#include <memory>

#include "tools/smdgw/core/service_module.h"

namespace smdgw::http {

std::unique_ptr<ServiceModule> service_module();

}  // namespace smdgw::http
