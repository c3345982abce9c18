#include "tools/smdgw-fleet/status_http.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "host/host_port.h"

namespace smdgw {

namespace {

constexpr size_t kMaxRequest = 8192;
constexpr int kRequestMs = 2000;

const char* reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 503:
            return "Service Unavailable";
    }
    return "Error";
}

void send_all(int fd, const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
        const ssize_t n = ::send(fd, text.data() + at, text.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return;
        at += static_cast<size_t>(n);
    }
}

}  // namespace

StatusHttp::~StatusHttp() { stop(); }

bool StatusHttp::start(const std::string& addr, std::string& error) {
    smd::HostPort hp;
    error = smd::parse_host_port(addr, hp, smd::PortZero::Allowed);
    if (!error.empty()) return false;
    const std::string host = hp.host;
    const std::string port = std::to_string(hp.port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || !found) {
        error = "cannot be resolved";
        return false;
    }
    listen_fd_ = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const bool ok = listen_fd_ >= 0 && ::bind(listen_fd_, found->ai_addr, found->ai_addrlen) == 0 &&
                    ::listen(listen_fd_, 16) == 0;
    ::freeaddrinfo(found);
    if (!ok) {
        error = std::strerror(errno);
        if (listen_fd_ >= 0) ::close(listen_fd_);
        listen_fd_ = -1;
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void StatusHttp::stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
}

void StatusHttp::run() {
    while (!stopping_) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) continue;
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        serve(fd);
        ::close(fd);
    }
}

void StatusHttp::serve(int fd) {
    std::string req;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestMs);
    char buf[1024];
    while (req.find("\r\n\r\n") == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 || req.size() >= kMaxRequest) return;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) return;
        const ssize_t n = ::recv(fd, buf, std::min(sizeof buf, kMaxRequest - req.size()), 0);
        if (n <= 0) return;
        req.append(buf, static_cast<size_t>(n));
    }
    HttpAnswer a;
    const size_t sp1 = req.find(' ');
    const size_t sp2 = sp1 == std::string::npos ? sp1 : req.find(' ', sp1 + 1);
    if (sp2 == std::string::npos) {
        a = {400, "text/plain", "bad request\n"};
    } else if (req.compare(0, sp1, "GET") != 0) {
        a = {405, "text/plain", "GET only\n"};
    } else {
        std::string path = req.substr(sp1 + 1, sp2 - sp1 - 1);
        path = path.substr(0, path.find('?'));
        a = handler_(path);
    }
    send_all(fd, "HTTP/1.1 " + std::to_string(a.status) + " " + reason(a.status) +
                     "\r\nContent-Type: " + a.content_type +
                     "\r\nContent-Length: " + std::to_string(a.body.size()) +
                     "\r\nConnection: close\r\n\r\n" + a.body);
}

}  // namespace smdgw
