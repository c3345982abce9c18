#pragma once
// The notification (mail and webhook) service's entry in smdgw's table of services.

#include <memory>

#include "tools/smdgw/core/service_module.h"

namespace smdgw::notify {

std::unique_ptr<ServiceModule> service_module();

}  // namespace smdgw::notify
