#include "tools/smdgw/notify/webhook_sender.h"

#include "tools/smdgw/notify/hmac_signature.h"

namespace smdgw::notify {

namespace {

// The receiver's answer body is not kept; at most a little is read.
size_t discard(char*, size_t size, size_t n, void*) { return size * n; }

}  // namespace

DeliveryOutcome webhook_outcome(long status) {
    if (status >= 200 && status < 300) return DeliveryOutcome::Delivered;
    if (status >= 400 && status < 500 && status != 408 && status != 429)
        return DeliveryOutcome::RefusedForGood;
    return DeliveryOutcome::RetryLater;
}

DeliveryAnswer post_webhook(const NotifyTarget& target, const std::string& key,
                            const std::string& body, const std::atomic<bool>* abort) {
    DeliveryAnswer result;
    CurlTransfer t(target.timeout_s, abort);
    CURL* c = t.handle();
    struct curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: application/json");
    headers = curl_slist_append(headers, ("Idempotency-Key: " + key).c_str());
    if (!target.secret.empty())
        headers = curl_slist_append(
            headers, ("X-Smdgw-Signature: sha256=" + hmac_sha256_hex(target.secret, body)).c_str());
    // No "Expect: 100-continue" wait on a small body.
    headers = curl_slist_append(headers, "Expect:");
    if (c) {
        curl_easy_setopt(c, CURLOPT_URL, target.url.c_str());
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &discard);
        curl_easy_setopt(c, CURLOPT_USERAGENT, "smdgw");
        if (!target.ca_file.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, target.ca_file.c_str());
    }
    std::string error;
    if (t.perform(error)) {
        long status = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
        result.outcome = webhook_outcome(status);
        result.text = "HTTP " + std::to_string(status);
    } else {
        result.text = error;
    }
    curl_slist_free_all(headers);
    return result;
}

}  // namespace smdgw::notify
