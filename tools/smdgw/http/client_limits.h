#pragma once
// What one client address may take of the HTTP service: connections (in all
// and per address, so that one busy or hostile client cannot take every
// slot, with a few places held for health checks and token holders) and
// refused control attempts (a token guessed at leaves a trace, not
// a flood: 429 beyond the allowance, one summary line a minute in the log).

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "tools/smdgw/core/log_limiter.h"

namespace smdgw::http {

class ConnectionCounts {
   public:
    // Where a connection sits: among the ordinary ones, or in the few places
    // held beyond them for the gateway's own health checks (127.0.0.1, ::1)
    // and for requests that carry a valid token (a connection there is on
    // trial until its request shows one), so that whoever fills the
    // ordinary places cannot keep those out.
    enum class Place { Ordinary, Loopback, Token };
    enum class Admit { Yes, Full, TooManyFromClient };
    ConnectionCounts(size_t max_total, size_t max_per_client, size_t held_loopback,
                     size_t held_token)
        : max_{max_total, held_loopback, held_token}, max_per_client_(max_per_client) {}
    // Counts a new connection from address in place when there is room.
    Admit admit(const std::string& address, Place place);
    void release(const std::string& address, Place place);
    size_t total() const;

   private:
    mutable std::mutex mutex_;
    size_t max_[3];
    size_t taken_[3] = {0, 0, 0};
    size_t max_per_client_;
    std::unordered_map<std::string, size_t> per_client_;
};

// 127.0.0.1 and ::1 (also as ::ffff:127.0.0.1): where the gateway's own
// health checks come from.
bool is_own_loopback(const std::string& address);

// A bucket per client address holding per_minute refusals and refilled at
// that rate; addresses beyond max_addresses push out the fullest bucket.
class RefusalLimiter {
   public:
    explicit RefusalLimiter(unsigned per_minute, size_t max_addresses = 4096)
        : per_minute_(per_minute), max_addresses_(max_addresses) {}
    // Whether a control attempt from address is still judged (else 429).
    bool allowed(const std::string& address, double now_s);
    // A control attempt from address was refused.
    void refused(const std::string& address, double now_s);
    // A 429 for address: when a line is due, how many 429s it held back.
    std::optional<uint64_t> limited(const std::string& address, double now_s);

   private:
    struct Bucket {
        double tokens = 0;
        double at_s = 0;
        LogLimiter log{60.0};
    };
    Bucket& bucket(const std::string& address, double now_s);

    std::mutex mutex_;
    unsigned per_minute_;
    size_t max_addresses_;
    std::unordered_map<std::string, Bucket> buckets_;
};

}  // namespace smdgw::http
