#include "tools/smdgw/core/listen_address.h"

#include <arpa/inet.h>

#include <algorithm>

#include "host/host_port.h"

namespace smdgw {

namespace {

bool numeric_address(const std::string& a) {
    unsigned char buf[16];
    return inet_pton(AF_INET, a.c_str(), buf) == 1 || inet_pton(AF_INET6, a.c_str(), buf) == 1;
}

}  // namespace

bool parse_listen_address(const ListenDefaults& d, const std::string& text, std::string& address,
                          int& port, std::string& error) {
    const auto bad = [&](const std::string& why) {
        error = std::string(d.option) + " \"" + text + "\": " + why +
                " (ADDR, ADDR:PORT, [IPv6]:PORT or :PORT; for example 0.0.0.0:" +
                std::to_string(d.port) + ")";
        return false;
    };
    address = d.address;
    port = d.port;
    if (text.empty()) return true;
    // ":PORT" is on the default address; a bare IPv6 address is one without its port.
    std::string t = text;
    if (t.front() != '[' && std::count(t.begin(), t.end(), ':') > 1)
        t = "[" + t + "]";
    else if (t.front() == ':')
        t = d.address + t;
    smd::HostPort hp;
    const std::string why =
        smd::parse_host_port(t, hp, smd::PortZero::Allowed, static_cast<unsigned>(d.port));
    if (!why.empty()) return bad(why);
    std::string host = hp.host;
    port = static_cast<int>(hp.port);
    if (host == "localhost") host = d.address;
    if (!numeric_address(host)) return bad("\"" + host + "\" is not an IPv4 or IPv6 address");
    address = host;
    return true;
}

std::string listen_text(const std::string& address, int port) {
    const bool v6 = address.find(':') != std::string::npos;
    return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

}  // namespace smdgw
