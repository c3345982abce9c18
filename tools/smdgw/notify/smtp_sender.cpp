#include "tools/smdgw/notify/smtp_sender.h"

#include <cstring>

namespace smdgw::notify {

namespace {

struct Upload {
    const std::string* text;
    size_t at = 0;
};

size_t read_message(char* buf, size_t size, size_t n, void* self) {
    auto* u = static_cast<Upload*>(self);
    const size_t left = u->text->size() - u->at;
    const size_t take = left < size * n ? left : size * n;
    std::memcpy(buf, u->text->data() + u->at, take);
    u->at += take;
    return take;
}

}  // namespace

DeliveryOutcome mail_outcome(long failed_reply) {
    return failed_reply >= 550 && failed_reply <= 559 ? DeliveryOutcome::RefusedForGood
                                                       : DeliveryOutcome::RetryLater;
}

DeliveryAnswer send_mail(const NotifyTarget& target, const std::string& message,
                         const std::atomic<bool>* abort) {
    DeliveryAnswer result;
    CurlTransfer t(target.timeout_s, abort);
    CURL* c = t.handle();
    struct curl_slist* rcpt = nullptr;
    for (const std::string& to : target.to) rcpt = curl_slist_append(rcpt, ("<" + to + ">").c_str());
    Upload upload{&message};
    if (c) {
        curl_easy_setopt(c, CURLOPT_URL, target.smtp_url.c_str());
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
        // smtps:// is TLS from the start whatever this says; on smtp:// it
        // decides whether STARTTLS must succeed. A login never goes without it.
        const bool tls_only = target.starttls_required || !target.user.empty();
        curl_easy_setopt(c, CURLOPT_USE_SSL,
                         tls_only ? static_cast<long>(CURLUSESSL_ALL)
                                  : static_cast<long>(CURLUSESSL_TRY));
        if (!target.ca_file.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, target.ca_file.c_str());
        if (!target.user.empty()) {
            curl_easy_setopt(c, CURLOPT_USERNAME, target.user.c_str());
            curl_easy_setopt(c, CURLOPT_PASSWORD, target.password.c_str());
        }
        curl_easy_setopt(c, CURLOPT_MAIL_FROM, ("<" + target.from + ">").c_str());
        curl_easy_setopt(c, CURLOPT_MAIL_RCPT, rcpt);
        curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(c, CURLOPT_READFUNCTION, &read_message);
        curl_easy_setopt(c, CURLOPT_READDATA, &upload);
        curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(message.size()));
    }
    std::string error;
    if (t.perform(error)) {
        long status = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
        result.outcome = DeliveryOutcome::Delivered;
        result.text = "SMTP " + std::to_string(status);
    } else {
        long status = 0;
        if (c) curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
        result.outcome = mail_outcome(status);
        result.text = error;
    }
    curl_slist_free_all(rcpt);
    return result;
}

}  // namespace smdgw::notify
