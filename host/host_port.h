#pragma once
// HOST:PORT as every address option of the gateway and its tools is written:
// a name or an IPv4 address, or an IPv6 address in brackets ([::1]:3493),
// then a decimal port. One parser, so that --http, --mqtt, --snmp-agentx,
// --port tcp:, powersim's listener and the fleet tools take and refuse the
// same texts with the same words.

#include <string>

namespace smd {

struct HostPort {
    std::string host;   // without the brackets of an IPv6 address
    unsigned port = 0;
    bool ipv6 = false;  // written in brackets

    // As written back: [::1]:80 or host:80.
    std::string text() const;
};

enum class PortZero {
    Refused,  // 1 to 65535: a port to connect to
    Allowed,  // 0 to 65535: a port to listen on, 0 for one the system picks
};

// Parses text into out. default_port: taken when text has no ":PORT"
// (0: the port is required). Returns "" when text is an address, else why
// not, in words to follow `OPTION "TEXT": `.
std::string parse_host_port(const std::string& text, HostPort& out, PortZero zero,
                            unsigned default_port = 0);

}  // namespace smd
