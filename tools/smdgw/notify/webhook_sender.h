#pragma once
// A webhook call: an HTTP(S) POST of the message's JSON with
//   Content-Type: application/json
//   Idempotency-Key: <gateway ID>:<notification sequence>
//   X-Smdgw-Signature: sha256=<HMAC-SHA256 of the body, hex>   (with a secret)
// Any 2xx answer delivers it. A 4xx other than 408 (timeout) and 429 (too
// many requests) refuses it for good: the same call would get the same
// answer. Anything else is tried again later.

#include <atomic>
#include <string>

#include "tools/smdgw/notify/curl_transfer.h"
#include "tools/smdgw/notify/notify_config.h"

namespace smdgw::notify {

// What an HTTP status means for the message.
DeliveryOutcome webhook_outcome(long status);

DeliveryAnswer post_webhook(const NotifyTarget& target, const std::string& key,
                            const std::string& body, const std::atomic<bool>* abort);

}  // namespace smdgw::notify
