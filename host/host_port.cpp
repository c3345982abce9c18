#include "host/host_port.h"

namespace smd {

std::string HostPort::text() const {
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

namespace {

// Digits only, at most five, so that 99999 is not taken modulo 65536 by a
// resolver further on.
bool port_number(const std::string& text, unsigned& port) {
    if (text.empty() || text.size() > 5) return false;
    unsigned v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > 65535) return false;
    port = v;
    return true;
}

}  // namespace

std::string parse_host_port(const std::string& text, HostPort& out, PortZero zero,
                            unsigned default_port) {
    HostPort hp;
    std::string port_text;
    bool has_port = false;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) return "an IPv6 address needs its ]";
        hp.host = text.substr(1, close - 1);
        hp.ipv6 = true;
        const std::string after = text.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return "has text after the IPv6 address";
            port_text = after.substr(1);
            has_port = true;
        }
        if (hp.host.find(':') == std::string::npos) return "is not an IPv6 address in brackets";
    } else {
        const size_t colon = text.find(':');
        hp.host = text.substr(0, colon);
        if (colon != std::string::npos) {
            if (text.find(':', colon + 1) != std::string::npos)
                return "has more than one colon (an IPv6 address goes in brackets: [::1]:PORT)";
            port_text = text.substr(colon + 1);
            has_port = true;
        }
    }
    if (hp.host.empty()) return "has no host";
    for (char c : hp.host)
        if (static_cast<unsigned char>(c) <= ' ' || c == '/' || c == '@' || c == 0x7f)
            return "the host has a space, a slash or an @";
    const char* range = zero == PortZero::Allowed ? "0 to 65535" : "1 to 65535";
    if (!has_port) {
        if (default_port == 0) return "has no port (HOST:PORT)";
        hp.port = default_port;
    } else if (!port_number(port_text, hp.port) ||
               (zero == PortZero::Refused && hp.port == 0)) {
        return std::string("the port is not a number from ") + range;
    }
    out = hp;
    return {};
}

}  // namespace smd
