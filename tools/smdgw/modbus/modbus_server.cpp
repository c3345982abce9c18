#include "tools/smdgw/modbus/modbus_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "tools/smdgw/core/listen_socket.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/steady_time.h"
#include "tools/smdgw/modbus/modbus_request.h"

namespace smdgw::modbus {

namespace {

// The longest wait of the loop.
constexpr int kLoopMs = 1000;

}  // namespace

struct ModbusServer::Connection {
    int fd = -1;
    std::string peer;
    std::vector<uint8_t> in;  // bytes of requests not yet answered
    double last_request = 0.0;
    double tokens = kRequestBurst;
    double tokens_at = 0.0;
    bool waiting = false;    // out of allowance, not read until it returns
    bool peer_done = false;  // the client sent all it will send

    void refill(double now) {
        if (now > tokens_at)
            tokens = std::min(kRequestBurst, tokens + (now - tokens_at) * kRequestsPerSecond);
        tokens_at = now;
    }
};

ModbusServer::ModbusServer(const UnitReader& units, ModbusCounters& counters, ServerLimits limits)
    : counters_(counters), answerer_(units, counters), limits_(limits) {
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

ModbusServer::~ModbusServer() {
    while (!connections_.empty()) close(connections_.size() - 1);
    if (listen_fd_ >= 0) ::close(listen_fd_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
}

bool ModbusServer::bind(const std::string& address, int port, std::string& error) {
    if (wake_fd_ < 0 || !answerer_.ready()) {
        error = std::string("modbus: cannot set up the server: ") + std::strerror(errno);
        return false;
    }
    listen_fd_ = open_listen_socket(address, port, port_, error);
    if (listen_fd_ < 0) error = "modbus: " + error;
    return listen_fd_ >= 0;
}

void ModbusServer::stop() {
    const uint64_t one = 1;
    if (wake_fd_ >= 0) (void)!::write(wake_fd_, &one, sizeof one);
}

void ModbusServer::close(size_t index) {
    ::close(connections_[index]->fd);
    connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(index));
    counters_.open = connections_.size();
}

void ModbusServer::accept_clients(double now) {
    const auto from_peer = [this](const std::string& peer) {
        return static_cast<unsigned>(
            std::count_if(connections_.begin(), connections_.end(),
                          [&](const std::unique_ptr<Connection>& c) { return c->peer == peer; }));
    };
    while (auto a = accept_client(listen_fd_, connections_.size(), limits_.max_connections,
                                  limits_.max_per_client, from_peer)) {
        if (a->verdict != AcceptedClient::Accepted) {
            ++(a->verdict == AcceptedClient::OverTotal ? counters_.refused_total
                                                        : counters_.refused_per_client);
            if (auto held = refuse_log_.allow(now))
                log_warning("modbus: " + a->peer + ": connection refused: too many " +
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
        c->last_request = now;
        c->tokens_at = now;
        connections_.push_back(std::move(c));
        ++counters_.accepted;
        counters_.open = connections_.size();
    }
}

bool ModbusServer::answer_requests(Connection& c, double now) {
    c.refill(now);
    size_t at = 0;
    bool ok = true;
    while (ok) {
        Request r;
        const Framing f = parse_request(c.in.data() + at, c.in.size() - at, r);
        if (f == Framing::Incomplete) break;
        if (f != Framing::Complete) {
            // Not a Modbus TCP frame: nothing after it can be found again.
            const bool protocol = f == Framing::BadProtocol;
            ++(protocol ? counters_.bad_protocol : counters_.bad_length);
            if (auto held = frame_log_.allow(now))
                log_warning("modbus: " + c.peer + ": " +
                            (protocol ? "MBAP protocol identifier not 0"
                                      : "MBAP length out of range") +
                            "; connection closed" + LogLimiter::held_note(*held));
            return false;
        }
        if (c.tokens < 1.0) {
            if (!c.waiting) ++counters_.rate_limited;
            c.waiting = true;
            break;
        }
        c.waiting = false;
        c.tokens -= 1.0;
        c.last_request = now;
        ok = answerer_.answer(c.fd, c.in.data() + at, r);
        at += r.frame_bytes;
    }
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(at));
    return ok;
}

bool ModbusServer::read_from(Connection& c, double now) {
    // Never more than the bound held: a client sending faster than it is
    // answered waits in its own socket.
    const size_t room = kMaxBufferedBytes - std::min(kMaxBufferedBytes, c.in.size());
    if (room == 0) return answer_requests(c, now);
    const size_t had = c.in.size();
    c.in.resize(had + room);
    const ssize_t n = ::recv(c.fd, c.in.data() + had, room, 0);
    c.in.resize(had + static_cast<size_t>(std::max<ssize_t>(n, 0)));
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (n == 0) c.peer_done = true;
    return answer_requests(c, now);
}

int ModbusServer::timeout_ms(double now) const {
    double wait_s = kLoopMs / 1000.0;
    for (const auto& c : connections_) {
        wait_s = std::min(wait_s, c->last_request + limits_.idle_timeout_s - now);
        if (c->waiting) wait_s = std::min(wait_s, (1.0 - c->tokens) / kRequestsPerSecond);
    }
    return std::clamp(static_cast<int>(std::ceil(wait_s * 1000.0)), 0, kLoopMs);
}

void ModbusServer::run() {
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({wake_fd_, POLLIN, 0});
        fds.push_back({listen_fd_, POLLIN, 0});
        for (const auto& c : connections_)
            fds.push_back({c->fd, static_cast<short>(c->waiting || c->peer_done ? 0 : POLLIN), 0});
        const int ready = ::poll(fds.data(), fds.size(), timeout_ms(steady_seconds()));
        if (ready < 0 && errno != EINTR) {
            log_error(std::string("modbus: poll: ") + std::strerror(errno));
            return;
        }
        if (fds[0].revents & POLLIN) return;
        const double now = steady_seconds();
        const size_t polled = fds.size() - 2;
        std::vector<bool> drop(polled, false);
        for (size_t i = 0; i < polled; ++i) {
            Connection& c = *connections_[i];
            const short re = fds[i + 2].revents;
            bool ok = (re & (POLLERR | POLLNVAL)) == 0;
            if (ok && (re & (POLLIN | POLLHUP)) && !c.peer_done && !c.waiting)
                ok = read_from(c, now);
            // The allowance came back: the requests already read go first.
            if (ok && c.waiting) ok = answer_requests(c, now);
            // All said: a part of a frame left behind is never answered.
            if (ok && c.peer_done && !c.waiting) ok = false;
            if (ok && now - c.last_request > limits_.idle_timeout_s) {
                ++counters_.idle_closed;
                ok = false;
            }
            drop[i] = !ok;
        }
        for (size_t i = polled; i-- > 0;)
            if (drop[i]) close(i);
        if (fds[1].revents & POLLIN) accept_clients(now);
    }
}

}  // namespace smdgw::modbus
