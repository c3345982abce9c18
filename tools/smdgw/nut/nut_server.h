#pragma once
// The NUT server's sockets: one listening socket and its connections in a
// poll loop on the service's thread, every client bounded (nut_limits.h):
// the line length, commands a second, answers left unread, connections in
// all and per address, silence. The loop hands each request line to the
// connection's NutSession and sends what it answers.

#include <memory>
#include <string>
#include <vector>

#include "tools/smdgw/core/log_limiter.h"
#include "tools/smdgw/nut/nut_counters.h"
#include "tools/smdgw/nut/nut_limits.h"
#include "tools/smdgw/nut/nut_session.h"
#include "tools/smdgw/nut/nut_tls.h"

namespace smdgw::nut {

struct ServerLimits {
    unsigned max_connections = kDefaultMaxConnections;
    unsigned max_per_client = kDefaultMaxPerClient;
    double idle_timeout_s = kDefaultIdleTimeoutS;
};

class NutServer {
   public:
    // tls: the context STARTTLS uses; null when it is not offered.
    NutServer(SessionShared& shared, ServerLimits limits, TlsContext tls = nullptr);
    ~NutServer();
    NutServer(const NutServer&) = delete;
    NutServer& operator=(const NutServer&) = delete;

    // Binds and listens on a numeric address; false with error naming it.
    bool bind(const std::string& address, int port, std::string& error);
    // The port bound (after bind).
    int port() const { return port_; }
    // Serves until stop() is called.
    void run();
    // Any thread: ends run() soon.
    void stop();

   private:
    struct Connection;
    void accept_clients(double now);
    // Reads what came; false when the connection is to close now.
    bool read_from(Connection& c, double now);
    // Answers the complete lines its allowance covers.
    bool answer_lines(Connection& c, double now);
    bool write_to(Connection& c);
    // Starts or carries on the handshake after STARTTLS; false when it failed.
    bool handshake(Connection& c);
    void close(size_t index);
    int timeout_ms(double now) const;

    SessionShared& shared_;
    const ServerLimits limits_;
    const TlsContext tls_;
    int listen_fd_ = -1;
    int wake_fd_ = -1;
    int port_ = 0;
    std::vector<std::unique_ptr<Connection>> connections_;
    LogLimiter refuse_log_{60.0};
    LogLimiter bound_log_{60.0};
};

}  // namespace smdgw::nut
