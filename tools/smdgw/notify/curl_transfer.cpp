#include "tools/smdgw/notify/curl_transfer.h"

namespace smdgw::notify {

namespace {

// libcurl's global set-up, once for the process, before any thread uses it.
struct LibraryUse {
    LibraryUse() { curl_global_init(CURL_GLOBAL_DEFAULT); }
    ~LibraryUse() { curl_global_cleanup(); }
};

}  // namespace

CurlTransfer::CurlTransfer(double timeout_s, const std::atomic<bool>* abort) : abort_(abort) {
    static LibraryUse library;
    curl_ = curl_easy_init();
    if (!curl_) return;
    curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, error_);
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout_s * 1000.0));
    curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(timeout_s * 1000.0 < 10000.0 ? timeout_s * 1000.0 : 10000.0));
    curl_easy_setopt(curl_, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl_, CURLOPT_XFERINFOFUNCTION, &CurlTransfer::progress);
    curl_easy_setopt(curl_, CURLOPT_XFERINFODATA, this);
}

CurlTransfer::~CurlTransfer() {
    if (curl_) curl_easy_cleanup(curl_);
}

int CurlTransfer::progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* t = static_cast<const CurlTransfer*>(self);
    return t->abort_ && t->abort_->load() ? 1 : 0;
}

bool CurlTransfer::perform(std::string& error) {
    if (!curl_) {
        error = "libcurl could not start a transfer";
        return false;
    }
    error_[0] = '\0';
    const CURLcode rc = curl_easy_perform(curl_);
    if (rc == CURLE_OK) return true;
    error = curl_easy_strerror(rc);
    if (rc == CURLE_ABORTED_BY_CALLBACK) error = "stopped";
    else if (error_[0] != '\0') error += std::string(" (") + error_ + ")";
    return false;
}

}  // namespace smdgw::notify
