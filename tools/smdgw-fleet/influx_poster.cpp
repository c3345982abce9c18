#include "tools/smdgw-fleet/influx_poster.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>

#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/log_limiter.h"

namespace smdgw {

namespace {

int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

size_t keep_head(char* data, size_t size, size_t n, void* user) {
    auto* out = static_cast<std::string*>(user);
    if (out->size() < 300) out->append(data, std::min<size_t>(size * n, 300 - out->size()));
    return size * n;
}

uint64_t lines_in(const std::string& s) {
    return static_cast<uint64_t>(std::count(s.begin(), s.end(), '\n'));
}

}  // namespace

InfluxPoster::InfluxPoster(std::string url, LineBuffer& buffer, size_t batch_bytes)
    : url_(std::move(url)), buffer_(buffer), batch_bytes_(batch_bytes) {}

InfluxPoster::~InfluxPoster() {
    if (thread_.joinable()) stop(0);
}

void InfluxPoster::start() { thread_ = std::thread([this] { run(); }); }

void InfluxPoster::stop(int drain_ms) {
    drain_until_ms_ = steady_ms() + drain_ms;
    stopping_ = true;
    buffer_.stop();
    if (thread_.joinable()) thread_.join();
}

long InfluxPoster::post(const std::string& body, std::string& error) {
    CURL* curl = curl_easy_init();
    if (!curl) {
        error = "cannot make a transfer";
        return -1;
    }
    std::string answer;
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: text/plain; charset=utf-8");
    curl_easy_setopt(curl, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 5000L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 30000L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, keep_head);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    const CURLcode rc = curl_easy_perform(curl);
    long status = -1;
    if (rc == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        if (status / 100 == 2) status = 0;
        error = "HTTP " + std::to_string(status) + " " + answer;
        while (!error.empty() && (error.back() == '\n' || error.back() == '\r')) error.pop_back();
    } else {
        error = curl_easy_strerror(rc);
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return status;
}

void InfluxPoster::run() {
    LogLimiter failing_log(60.0);
    LogLimiter refused_log(60.0);
    double delay_s = 0.5;
    int64_t failing_since = 0;
    for (;;) {
        if (stopping_ && (buffer_.bytes() == 0 || steady_ms() > drain_until_ms_)) break;
        std::string batch = buffer_.take(batch_bytes_, 1000);
        if (batch.empty()) continue;
        std::string error;
        const long status = post(batch, error);
        const double now_s = static_cast<double>(steady_ms()) / 1000.0;
        if (status == 0) {
            counters_.batches++;
            counters_.lines += lines_in(batch);
            counters_.bytes += batch.size();
            if (counters_.failing.exchange(false)) {
                log_info("fleet: writing to the database again after " +
                         std::to_string((steady_ms() - failing_since) / 1000) + " s");
                failing_log.reset();
            }
            delay_s = 0.5;
            continue;
        }
        counters_.errors++;
        if (status >= 400 && status < 500 && status != 429) {
            counters_.refused_lines += lines_in(batch);
            if (auto held = refused_log.allow(now_s))
                log_error("fleet: the database refused a batch of " +
                          count_text(lines_in(batch), "line") + ": " + error +
                          LogLimiter::held_note(*held));
            continue;
        }
        if (!counters_.failing.exchange(true)) failing_since = steady_ms();
        if (auto held = failing_log.allow(now_s))
            log_warning("fleet: cannot write to the database: " + error + "; " +
                        std::to_string(buffer_.bytes() + batch.size()) +
                        " bytes buffered; retrying" + LogLimiter::held_note(*held));
        buffer_.put_back(std::move(batch));
        if (stopping_ && steady_ms() > drain_until_ms_) break;
        // Waits in short steps, so that a stop is not held up.
        for (int64_t until = steady_ms() + static_cast<int64_t>(delay_s * 1000.0);
             steady_ms() < until && !stopping_;)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        delay_s = std::min(delay_s * 2.0, 30.0);
    }
}

}  // namespace smdgw
