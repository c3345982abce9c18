#include "tools/smdgw/http/request_checks.h"

#include <arpa/inet.h>
#include <strings.h>

#include "tools/smdgw/core/utf8_text.h"

namespace smdgw::http {

namespace {

bool all_digits(std::string_view s) {
    if (s.empty() || s.size() > 5) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

bool ipv4_literal(std::string_view s) {
    if (s.empty() || s.size() > 15) return false;
    in_addr a{};
    return ::inet_pton(AF_INET, std::string(s).c_str(), &a) == 1;
}

bool ipv6_literal(std::string_view s) {
    if (s.empty() || s.size() > 45) return false;
    in6_addr a{};
    return ::inet_pton(AF_INET6, std::string(s).c_str(), &a) == 1;
}

}  // namespace

bool host_allowed(std::string_view host, const std::vector<std::string>& names) {
    std::string_view name = host;
    if (!host.empty() && host.front() == '[') {
        const size_t close = host.find(']');
        if (close == std::string_view::npos) return false;
        const std::string_view rest = host.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || !all_digits(rest.substr(1)))) return false;
        return ipv6_literal(host.substr(1, close - 1));
    }
    const size_t colon = host.rfind(':');
    if (colon != std::string_view::npos) {
        if (!all_digits(host.substr(colon + 1))) return false;
        name = host.substr(0, colon);
    }
    if (name.empty()) return false;
    if (ipv4_literal(name)) return true;
    const std::string n(name);
    if (strcasecmp(n.c_str(), "localhost") == 0) return true;
    for (const std::string& allowed : names)
        if (strcasecmp(n.c_str(), allowed.c_str()) == 0) return true;
    return false;
}

Refusal check_request(const Request& r, const std::vector<std::string>& host_names) {
    size_t hosts = 0;
    for (const auto& h : r.headers) hosts += strcasecmp(h.first.c_str(), "Host") == 0;
    if (hosts > 1) return {400, "more than one Host header"};
    if (hosts == 0) {
        if (r.version >= 11) return {400, "no Host header"};
    } else if (!host_allowed(r.get_header_value("Host"), host_names)) {
        return {421, "this gateway does not answer to the host " +
                         quoted(is_utf8(r.get_header_value("Host")) ? r.get_header_value("Host")
                                                                    : "(not UTF-8)") +
                         "; start it with --http-host NAME to allow a name"};
    }
    if (!is_utf8(r.target)) return {400, "the request target is not UTF-8"};
    std::vector<std::pair<std::string, std::string>> params;
    if (!parse_query(r.query, params))
        return {400, "broken percent-encoding or text that is not UTF-8 in the query"};
    return {};
}

}  // namespace smdgw::http
