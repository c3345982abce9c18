#pragma once
// The sockets of a network service that clients connect to: a non-blocking
// listening socket on a numeric address ("::" takes IPv4 clients too), and
// a client's address as text, so that bounds per client address agree
// between services.

#include <sys/socket.h>

#include <functional>
#include <optional>
#include <string>

namespace smdgw {

// Binds and listens on a numeric address; the descriptor, or -1 with error
// ("cannot listen on 127.0.0.1:502: Permission denied"). bound_port: the
// port taken (the one the system chose for port 0).
int open_listen_socket(const std::string& address, int port, int& bound_port, std::string& error);

// The client's address as text; an IPv4 client of a dual-stack socket as IPv4.
std::string peer_address(const sockaddr_storage& sa);

// A client taken from a listening socket, or refused by the service's bounds
// (then closed already: fd is -1).
struct AcceptedClient {
    enum Verdict { Accepted, OverTotal, OverPerClient };
    int fd = -1;
    std::string peer;
    Verdict verdict = Accepted;
    // "connections in all", "connections from its address": for the log.
    const char* refusal() const;
};

// The next client waiting on a non-blocking listening socket, if any: open is
// the connections served now, from_peer counts those of an address. Past
// either bound the client is closed at once.
std::optional<AcceptedClient> accept_client(
    int listen_fd, size_t open, unsigned max_connections, unsigned max_per_client,
    const std::function<unsigned(const std::string&)>& from_peer);

}  // namespace smdgw
