#pragma once
// smdgw --test-notify TARGET: one test message to a configured target, sent
// at once (not through the outbox), the outcome on standard output:
//   notify: test message to "pager" (webhook https://pager.example.net/hook): delivered (HTTP 200)
//   notify: test message to "oncall" (email smtp://mail.example.net:587): not delivered: ...

#include <cstdint>
#include <string>

#include "tools/smdgw/notify/notify_config.h"
#include "tools/smdgw/notify/notify_options.h"

namespace smdgw::notify {

// The exit status: 0 delivered, 1 not, 2 no such target.
int test_notify(const NotifyConfig& cfg, const NotifyOptions& o, int64_t now_ms);

}  // namespace smdgw::notify
