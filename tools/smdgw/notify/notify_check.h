#pragma once
// The configuration's "notify" at start and under --check-config: its keys,
// and the secret and credential files of its targets.

#include <cstdio>
#include <string>

#include "tools/smdgw/core/config.h"
#include "tools/smdgw/notify/notify_config.h"
#include "tools/smdgw/notify/notify_options.h"

namespace smdgw::notify {

// Reads cfg.notify into out; logs every problem naming the file and the key.
bool load_notify(const GatewayConfig& cfg, NotifyConfig& out);

// --check-config: reads the configuration again and says, one line per
// target, what it would notify and where notifications are kept:
//   notify: target "pager" webhook https://pager.example.net/hook, signed; 2 routes; outbox site.db
// Returns the exit status.
int check_notify(const std::string& config_path, const NotifyOptions& o, std::FILE* out);

}  // namespace smdgw::notify
