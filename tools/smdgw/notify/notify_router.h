#pragma once
// Which targets an alarm change goes to: every target of every route whose
// device pattern, levels and alarm ID pattern match it, each target once, in
// the order of the configuration's targets.

#include <string>
#include <vector>

#include "tools/smdgw/notify/notify_config.h"

namespace smdgw::notify {

// Indices into cfg.targets.
std::vector<size_t> route_targets(const NotifyConfig& cfg, const std::string& device, int level,
                                  const std::string& alarm_id);

}  // namespace smdgw::notify
