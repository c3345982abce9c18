#pragma once
// The SNMP (AgentX) service's entry in smdgw's table of services.

#include <memory>

#include "tools/smdgw/core/service_module.h"

namespace smdgw::snmp {

std::unique_ptr<ServiceModule> service_module();

}  // namespace smdgw::snmp
