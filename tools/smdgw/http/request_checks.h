#pragma once
// What every request must pass before a handler sees it, whatever its path:
// a Host the gateway answers to (against DNS rebinding: a page on another
// name that resolves to this address must not read it) and a target that is
// UTF-8 throughout, its query included.

#include <string>
#include <string_view>
#include <vector>

#include "tools/smdgw/http/http_message.h"

namespace smdgw::http {

// An IP literal ("127.0.0.1", "[::1]", either with ":PORT"), "localhost", or
// one of names (any case; the port is not compared).
//   host_allowed("127.0.0.1:9418", {}) -> true
//   host_allowed("evil.example", {})   -> false
//   host_allowed("gw1.site:9418", {"gw1.site"}) -> true
bool host_allowed(std::string_view host, const std::vector<std::string>& names);

struct Refusal {
    int status = 0;  // 0: the request may go on
    std::string error;
};

// 400 without a Host (HTTP/1.1) or with two, 421 for a Host not allowed, 400 for a target
// or query that is not UTF-8 or has a broken escape.
Refusal check_request(const Request& request, const std::vector<std::string>& host_names);

}  // namespace smdgw::http
