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

// What the server's last reply to a failed mail means for it: 550-559
// refuse the sender, a recipient or the message itself for good (no such
// mailbox, too large, rejected), which sending again would only repeat;
// anything else (a 4xx, a login refused, no connection) is tried again later.
DeliveryOutcome mail_outcome(long failed_reply);

DeliveryAnswer send_mail(const NotifyTarget& target, const std::string& message,
                         const std::atomic<bool>* abort);

}  // namespace smdgw::notify
