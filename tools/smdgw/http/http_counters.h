#pragma once
// What the HTTP transport refused before any handler, the control
// requests refused for too many refusals and the queries refused or cut off,
// by reason: one counter each, rendered as one Prometheus family for
// /metrics and the --prometheus file alike; and the queries in progress.
//
//   smdgw_http_refused_total{reason="header_too_large"} 3
//   smdgw_http_queries{state="running"} 2

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
    ClosedForNewcomer,   // every place taken: an idle (or unproven) connection closed for a new one
    ControlRateLimited,  // 429
    TooManyQueries,      // 503: every query slot running, every waiting place taken
    QueryDeadline,       // 503: a query cancelled at its deadline
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
    {Refused::ClosedForNewcomer, "closed_for_newcomer"},
    {Refused::ControlRateLimited, "control_rate_limited"},
    {Refused::TooManyQueries, "too_many_queries"},
    {Refused::QueryDeadline, "query_deadline"},
};

// History, alarm-log and roll-up queries taken and not yet answered: those
// waiting for a query worker and those running on one.
class QueryLoad {
   public:
    // Takes a query as waiting when fewer than `most` are taken in all.
    bool admit(size_t most) {
        size_t now = taken_.load();
        do {
            if (now >= most) return false;
        } while (!taken_.compare_exchange_weak(now, now + 1));
        return true;
    }
    void run() { running_.fetch_add(1); }
    void done() {
        running_.fetch_sub(1);
        taken_.fetch_sub(1);
    }
    size_t running() const { return running_.load(); }
    // Read one after the other: never below 0 while queries come and go.
    size_t waiting() const {
        const size_t taken = taken_.load(), running = running_.load();
        return taken > running ? taken - running : 0;
    }

   private:
    std::atomic<size_t> taken_{0}, running_{0};
};

class HttpCounters {
   public:
    void count(Refused r) { counts_[static_cast<size_t>(r)].fetch_add(1, std::memory_order_relaxed); }
    uint64_t get(Refused r) const { return counts_[static_cast<size_t>(r)].load(std::memory_order_relaxed); }
    // The transport's refusal by status (400, 413, 414, 421, 431, 503, 505).
    void count_status(int status);
    // The family, every reason listed (0 included), and the queries now.
    std::string prometheus_text() const;
    QueryLoad queries;

   private:
    std::array<std::atomic<uint64_t>, std::size(kRefusedReasons)> counts_{};
};

}  // namespace smdgw::http
