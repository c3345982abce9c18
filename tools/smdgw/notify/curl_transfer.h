#pragma once
// One transfer through libcurl, shared by the webhook and the mail sender:
// the library's global set-up done once, a bounded time, an abort when the
// service stops, and the error said in one line.

#include <curl/curl.h>

#include <atomic>
#include <string>

#include "tools/smdgw/outbox/delivery.h"

namespace smdgw::notify {

class CurlTransfer {
   public:
    // `abort`: set by another thread to end the transfer at once; may be null.
    CurlTransfer(double timeout_s, const std::atomic<bool>* abort);
    ~CurlTransfer();
    CurlTransfer(const CurlTransfer&) = delete;
    CurlTransfer& operator=(const CurlTransfer&) = delete;

    CURL* handle() { return curl_; }
    // Performs it; on failure the library's reason with its detail.
    bool perform(std::string& error);

   private:
    static int progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

    CURL* curl_ = nullptr;
    const std::atomic<bool>* abort_;
    char error_[CURL_ERROR_SIZE] = {};
};

}  // namespace smdgw::notify
