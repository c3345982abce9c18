#pragma once
// What the HTTP transport refused before any handler, and the control
// requests refused for too many refusals, by reason: one counter each, rendered as
// one Prometheus family for /metrics and the --prometheus file alike.
//
//   smdgw_http_refused_total{reason="header_too_large"} 3

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace smdgw::http {

enum class Refused {
    Malformed,           // 400 before any handler: not HTTP, a target or query not UTF-8, no Host
    HostNotAllowed,      // 421
    RequestLineTooLong,  // 414 from the parser
    HeaderTooLarge,      // 431
    BodyTooLarge,        // 413
    Version,             // 505
    Deadline,            // the request or an answer took too long: closed
    TooManyConnections,  // 503 at accept: the total
    TooManyFromClient,   // 503 at accept: one address's share
    ControlRateLimited,  // 429
};

struct RefusedReason {
    Refused which;
    const char* label;
};

inline constexpr RefusedReason kRefusedReasons[] = {
    {Refused::Malformed, "malformed"},
    {Refused::HostNotAllowed, "host_not_allowed"},
    {Refused::RequestLineTooLong, "request_line_too_long"},
    {Refused::HeaderTooLarge, "header_too_large"},
    {Refused::BodyTooLarge, "body_too_large"},
    {Refused::Version, "http_version"},
    {Refused::Deadline, "deadline"},
    {Refused::TooManyConnections, "too_many_connections"},
    {Refused::TooManyFromClient, "too_many_from_client"},
    {Refused::ControlRateLimited, "control_rate_limited"},
};

class HttpCounters {
   public:
    void count(Refused r) { counts_[static_cast<size_t>(r)].fetch_add(1, std::memory_order_relaxed); }
    uint64_t get(Refused r) const { return counts_[static_cast<size_t>(r)].load(std::memory_order_relaxed); }
    // The transport's refusal by status (400, 413, 414, 421, 431, 505).
    void count_status(int status);
    // The family, every reason listed (0 included).
    std::string prometheus_text() const;

   private:
    std::array<std::atomic<uint64_t>, std::size(kRefusedReasons)> counts_{};
};

}  // namespace smdgw::http
