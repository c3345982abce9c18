#pragma once
// The exact name of one alarm of one device, for people and programs that
// must point at it (acknowledgement, notifications, the SNMP table): an
// alarm's key is not unique (every module's status alarm shares one, on
// every device), so the name holds the device and the whole identity.
//
//   device "plant-1", key "K418TRC_0", alarm ID "419430501", sequence 15
//     -> "plant-1.K418TRC_0.419430501.15"
//   device "站 1", key "section_missing", alarm ID "smdgw-section-dc", 1
//     -> "~E7~AB~99~201.section_missing.smdgw-section-dc.1"
//
// Letters, digits, "_" and "-" stand as they are; every other byte is "~"
// and two upper-case hex digits, so a name needs no escaping in a URL path,
// an MQTT topic or a mail header.

#include <string>

namespace smdgw {

std::string alarm_ref(const std::string& device, const std::string& key,
                      const std::string& alarm_id, unsigned seq);

}  // namespace smdgw
