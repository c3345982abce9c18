#include "tools/smdgw/http/http_counters.h"

namespace smdgw::http {

void HttpCounters::count_status(int status) {
    switch (status) {
        case 413:
            return count(Refused::BodyTooLarge);
        case 414:
            return count(Refused::RequestLineTooLong);
        case 421:
            return count(Refused::HostNotAllowed);
        case 429:
            return count(Refused::ControlRateLimited);
        case 431:
            return count(Refused::HeaderTooLarge);
        case 505:
            return count(Refused::Version);
        case 503:  // a place held for token holders, asked without one
            return count(Refused::TooManyConnections);
        default:
            return count(Refused::Malformed);
    }
}

std::string HttpCounters::prometheus_text() const {
    std::string t =
        "# HELP smdgw_http_refused_total Requests and connections the HTTP service refused or "
        "cut off, by reason\n"
        "# TYPE smdgw_http_refused_total counter\n";
    for (const RefusedReason& r : kRefusedReasons)
        t += std::string("smdgw_http_refused_total{reason=\"") + r.label + "\"} " +
             std::to_string(get(r.which)) + "\n";
    t += "# HELP smdgw_http_queries History, alarm-log and roll-up queries running or waiting "
         "their turn\n"
         "# TYPE smdgw_http_queries gauge\n"
         "smdgw_http_queries{state=\"running\"} " +
         std::to_string(queries.running()) +
         "\n"
         "smdgw_http_queries{state=\"waiting\"} " +
         std::to_string(queries.waiting()) + "\n";
    return t;
}

}  // namespace smdgw::http
