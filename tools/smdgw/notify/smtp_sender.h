#pragma once
// A mail through libcurl's SMTP: smtp:// with STARTTLS (required unless the
// target says "optional"), smtps:// with TLS from the start, the target's CA
// file for a private server, a login when the target has an auth_file. The
// message is sent as stored (headers and body, CRLF lines).

#include <atomic>
#include <string>

#include "tools/smdgw/notify/curl_transfer.h"
#include "tools/smdgw/notify/notify_config.h"

namespace smdgw::notify {

DeliveryResult send_mail(const NotifyTarget& target, const std::string& message,
                         const std::atomic<bool>* abort);

}  // namespace smdgw::notify
