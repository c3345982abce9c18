#pragma once
// This host's name, the default gateway ID of every service that names the
// gateway to the outside (MQTT client ID and topics, notifications).

#include <string>

namespace smdgw {

// This host's name ("smdgw" when it has none).
std::string host_name();

}  // namespace smdgw
