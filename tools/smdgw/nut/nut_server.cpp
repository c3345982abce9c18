#include "tools/smdgw/nut/nut_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>

#include "tools/smdgw/core/listen_socket.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/steady_time.h"

namespace smdgw::nut {

namespace {

// One read at most: a few request lines.
constexpr size_t kReadChunk = 4096;
// The longest wait of the loop.
constexpr int kLoopMs = 1000;

}  // namespace

struct NutServer::Connection {
    int fd = -1;
    std::string peer;
    std::string in;          // bytes of lines not yet answered
    std::string out;         // answers not yet sent, from out_at
    size_t out_at = 0;
    double last_command = 0.0;
    double tokens = kCommandBurst;
    double tokens_at = 0.0;
    bool waiting = false;     // out of allowance, not read until it returns
    bool peer_done = false;   // the client sent all it will send
    bool closing = false;     // close once the answers are out
    bool start_tls = false;   // STARTTLS answered: TLS once the answer is out
    bool handshaking = false;
    bool tls_wants_write = false;  // the handshake waits to write
    std::unique_ptr<TlsLink> tls;
    std::unique_ptr<NutSession> session;

    size_t pending() const { return out.size() - out_at; }
    void refill(double now) {
        if (now > tokens_at)
            tokens = std::min(kCommandBurst, tokens + (now - tokens_at) * kCommandsPerSecond);
        tokens_at = now;
    }
};

NutServer::NutServer(SessionShared& shared, ServerLimits limits, TlsContext tls)
    : shared_(shared), limits_(limits), tls_(std::move(tls)) {
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

NutServer::~NutServer() {
    while (!connections_.empty()) close(connections_.size() - 1);
    if (listen_fd_ >= 0) ::close(listen_fd_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
}

bool NutServer::bind(const std::string& address, int port, std::string& error) {
    if (wake_fd_ < 0) {
        error = std::string("nut: eventfd: ") + std::strerror(errno);
        return false;
    }
    listen_fd_ = open_listen_socket(address, port, port_, error);
    if (listen_fd_ < 0) error = "nut: " + error;
    return listen_fd_ >= 0;
}

void NutServer::stop() {
    const uint64_t one = 1;
    if (wake_fd_ >= 0) (void)!::write(wake_fd_, &one, sizeof one);
}

void NutServer::close(size_t index) {
    Connection& c = *connections_[index];
    ::close(c.fd);
    connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(index));
    shared_.counters.open = connections_.size();
}

void NutServer::accept_clients(double now) {
    const auto from_peer = [this](const std::string& peer) {
        return static_cast<unsigned>(
            std::count_if(connections_.begin(), connections_.end(),
                          [&](const std::unique_ptr<Connection>& c) { return c->peer == peer; }));
    };
    while (auto a = accept_client(listen_fd_, connections_.size(), limits_.max_connections,
                                  limits_.max_per_client, from_peer)) {
        if (a->verdict != AcceptedClient::Accepted) {
            ++(a->verdict == AcceptedClient::OverTotal ? shared_.counters.refused_total
                                                        : shared_.counters.refused_per_client);
            if (auto held = refuse_log_.allow(now))
                log_warning("nut: " + a->peer + ": connection refused: too many " +
                            a->refusal() + LogLimiter::held_note(*held));
            continue;
        }
        const int fd = a->fd;
        const std::string& peer = a->peer;
        const int sndbuf = kSocketSendBuffer;
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        c->peer = peer;
        c->last_command = now;
        c->tokens_at = now;
        c->session = std::make_unique<NutSession>(shared_, peer);
        connections_.push_back(std::move(c));
        ++shared_.counters.accepted;
        shared_.counters.open = connections_.size();
    }
}

bool NutServer::answer_lines(Connection& c, double now) {
    c.refill(now);
    size_t at = 0;
    bool ok = true;
    while (!c.closing && !c.start_tls && !c.handshaking) {
        const size_t lf = c.in.find('\n', at);
        // The bound holds whether the LF came or not.
        const size_t line_bytes = lf == std::string::npos ? c.in.size() - at : lf - at + 1;
        if (line_bytes > kMaxLineBytes) {
            ++shared_.counters.line_too_long;
            if (auto held = bound_log_.allow(now))
                log_warning("nut: " + c.peer + ": request line over " +
                            std::to_string(kMaxLineBytes) + " bytes; connection closed" +
                            LogLimiter::held_note(*held));
            ok = false;
            break;
        }
        if (lf == std::string::npos) break;
        if (c.tokens < 1.0) {
            if (!c.waiting) ++shared_.counters.rate_limited;
            c.waiting = true;
            break;
        }
        c.waiting = false;
        c.tokens -= 1.0;
        std::string_view line(c.in.data() + at, lf - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        bool logout = false;
        c.session->answer(line, c.out, logout);
        c.last_command = now;
        at = lf + 1;
        if (logout) c.closing = true;
        if (c.session->take_start_tls()) {
            c.start_tls = true;
            // The client speaks TLS only once it has the answer: anything
            // after the request is not the protocol.
            if (at < c.in.size()) {
                ++shared_.counters.tls_failed;
                ok = false;
            }
            break;
        }
        if (c.pending() > kMaxPendingOutput) {
            ++shared_.counters.output_overflow;
            if (auto held = bound_log_.allow(now))
                log_warning("nut: " + c.peer + ": over " + std::to_string(kMaxPendingOutput) +
                            " bytes of answers left unread; connection dropped" +
                            LogLimiter::held_note(*held));
            ok = false;
            break;
        }
    }
    c.in.erase(0, at);
    if (c.closing) c.in.clear();
    return ok;
}

bool NutServer::read_from(Connection& c, double now) {
    char buf[kReadChunk];
    ssize_t n = 0;
    if (c.tls) {
        size_t got = 0;
        switch (c.tls->read(buf, sizeof buf, got)) {
            case TlsLink::Io::Done:
                n = static_cast<ssize_t>(got);
                break;
            case TlsLink::Io::WantRead:
            case TlsLink::Io::WantWrite:
                return true;
            case TlsLink::Io::Closed:
                n = 0;
                break;
            case TlsLink::Io::Failed:
                return false;
        }
    } else {
        n = ::recv(c.fd, buf, sizeof buf, 0);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
    if (n == 0) {
        c.peer_done = true;
        return answer_lines(c, now);
    }
    c.in.append(buf, static_cast<size_t>(n));
    return answer_lines(c, now);
}

bool NutServer::write_to(Connection& c) {
    while (c.pending() > 0) {
        ssize_t n = 0;
        if (c.tls) {
            size_t sent = 0;
            const TlsLink::Io r = c.tls->write(c.out.data() + c.out_at, c.pending(), sent);
            if (r == TlsLink::Io::Closed || r == TlsLink::Io::Failed) return false;
            if (r != TlsLink::Io::Done) return true;  // on the next POLLOUT
            n = static_cast<ssize_t>(sent);
        } else {
            n = ::send(c.fd, c.out.data() + c.out_at, c.pending(), MSG_NOSIGNAL);
        }
        if (n < 0) {
            const int e = errno;
            // What went out is not kept while the rest waits.
            if (c.out_at > kMaxPendingOutput) {
                c.out.erase(0, c.out_at);
                c.out_at = 0;
            }
            return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
        }
        c.out_at += static_cast<size_t>(n);
    }
    c.out.clear();
    c.out_at = 0;
    return true;
}

bool NutServer::handshake(Connection& c) {
    if (!c.tls) {
        c.tls = std::make_unique<TlsLink>(tls_, c.fd);
        c.handshaking = true;
    }
    switch (c.tls->handshake()) {
        case TlsLink::Io::Done:
            c.handshaking = c.tls_wants_write = false;
            ++shared_.counters.tls_started;
            return true;
        case TlsLink::Io::WantRead:
            c.tls_wants_write = false;
            return true;
        case TlsLink::Io::WantWrite:
            c.tls_wants_write = true;
            return true;
        case TlsLink::Io::Closed:
        case TlsLink::Io::Failed:
            break;
    }
    ++shared_.counters.tls_failed;
    if (auto held = bound_log_.allow(steady_seconds()))
        log_warning("nut: " + c.peer + ": TLS handshake failed; connection closed" +
                    LogLimiter::held_note(*held));
    return false;
}

int NutServer::timeout_ms(double now) const {
    double wait_s = kLoopMs / 1000.0;
    for (const auto& c : connections_) {
        wait_s = std::min(wait_s, c->last_command + limits_.idle_timeout_s - now);
        if (c->waiting) wait_s = std::min(wait_s, (1.0 - c->tokens) / kCommandsPerSecond);
        // Decrypted bytes poll cannot see.
        if (c->tls && !c->handshaking && !c->waiting && c->tls->pending()) wait_s = 0.0;
    }
    return std::clamp(static_cast<int>(std::ceil(wait_s * 1000.0)), 0, kLoopMs);
}

void NutServer::run() {
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({wake_fd_, POLLIN, 0});
        fds.push_back({listen_fd_, POLLIN, 0});
        for (const auto& c : connections_) {
            short events = 0;
            if (c->handshaking) {
                events = c->tls_wants_write ? POLLOUT : POLLIN;
            } else {
                if (!c->waiting && !c->peer_done && !c->closing && !c->start_tls) events |= POLLIN;
                if (c->pending() > 0) events |= POLLOUT;
            }
            fds.push_back({c->fd, events, 0});
        }
        const int ready = ::poll(fds.data(), fds.size(), timeout_ms(steady_seconds()));
        if (ready < 0 && errno != EINTR) {
            log_error(std::string("nut: poll: ") + std::strerror(errno));
            return;
        }
        if (fds[0].revents & POLLIN) return;
        const double now = steady_seconds();
        // Connections by index as polled; new ones join after.
        const size_t polled = fds.size() - 2;
        std::vector<bool> drop(polled, false);
        for (size_t i = 0; i < polled; ++i) {
            Connection& c = *connections_[i];
            const short re = fds[i + 2].revents;
            bool ok = true;
            if (re & (POLLERR | POLLNVAL)) ok = false;
            if (ok && c.handshaking) {
                if (re & (POLLIN | POLLOUT | POLLHUP)) ok = handshake(c);
                if (ok && c.handshaking) {
                    drop[i] = now - c.last_command > limits_.idle_timeout_s;
                    continue;
                }
            }
            const bool buffered = c.tls && c.tls->pending();
            if (ok && ((re & (POLLIN | POLLHUP)) || buffered) && !c.peer_done && !c.waiting &&
                !c.start_tls)
                ok = read_from(c, now);
            // The allowance came back: the lines already read go first.
            if (ok && c.waiting) ok = answer_lines(c, now);
            if (ok && c.pending() > 0) ok = write_to(c);
            // "OK STARTTLS" is out: the handshake begins.
            if (ok && c.start_tls && c.pending() == 0) {
                c.start_tls = false;
                ok = handshake(c);
            }
            if (ok && c.pending() == 0 && (c.closing || (c.peer_done && !c.waiting)))
                ok = false;  // all said
            if (ok && now - c.last_command > limits_.idle_timeout_s) {
                ++shared_.counters.idle_closed;
                ok = false;
            }
            drop[i] = !ok;
        }
        for (size_t i = polled; i-- > 0;)
            if (drop[i]) close(i);
        if (fds[1].revents & POLLIN) accept_clients(now);
    }
}

}  // namespace smdgw::nut
