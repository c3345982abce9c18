#include "tools/smdgw/core/listen_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/smdgw/core/listen_address.h"

namespace smdgw {

int open_listen_socket(const std::string& address, int port, int& bound_port, std::string& error) {
    const std::string where = listen_text(address, port);
    sockaddr_storage sa{};
    socklen_t len = 0;
    auto* in = reinterpret_cast<sockaddr_in*>(&sa);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&sa);
    if (inet_pton(AF_INET, address.c_str(), &in->sin_addr) == 1) {
        in->sin_family = AF_INET;
        in->sin_port = htons(static_cast<uint16_t>(port));
        len = sizeof *in;
    } else if (inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<uint16_t>(port));
        len = sizeof *in6;
    } else {
        error = where + " is not a numeric address";
        return -1;
    }
    const int fd = ::socket(sa.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = where + ": " + std::strerror(errno);
        return -1;
    }
    const int one = 1, zero = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (sa.ss_family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0 || ::listen(fd, 64) != 0) {
        error = "cannot listen on " + where + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t bound_len = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_len);
    bound_port = ntohs(bound.ss_family == AF_INET
                           ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                           : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
    return fd;
}

std::string peer_address(const sockaddr_storage& sa) {
    char buf[INET6_ADDRSTRLEN] = {0};
    if (sa.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&sa);
        inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf);
    } else if (sa.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&sa);
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr))
            inet_ntop(AF_INET, &in6->sin6_addr.s6_addr[12], buf, sizeof buf);
        else
            inet_ntop(AF_INET6, &in6->sin6_addr, buf, sizeof buf);
    }
    return buf[0] ? buf : "unknown";
}

const char* AcceptedClient::refusal() const {
    return verdict == OverTotal ? "connections in all" : "connections from its address";
}

std::optional<AcceptedClient> accept_client(
    int listen_fd, size_t open, unsigned max_connections, unsigned max_per_client,
    const std::function<unsigned(const std::string&)>& from_peer) {
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    AcceptedClient c;
    c.fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&sa), &len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (c.fd < 0) return std::nullopt;  // EAGAIN, or a client gone before it was taken
    c.peer = peer_address(sa);
    if (open >= max_connections)
        c.verdict = AcceptedClient::OverTotal;
    else if (from_peer(c.peer) >= max_per_client)
        c.verdict = AcceptedClient::OverPerClient;
    if (c.verdict != AcceptedClient::Accepted) {
        ::close(c.fd);
        c.fd = -1;
    }
    return c;
}

}  // namespace smdgw
