#include "tests/support/nut_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace testsupport {

namespace {

double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

NutClient::NutClient(int port, int rcvbuf) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    if (rcvbuf > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

NutClient::~NutClient() {
    if (fd_ >= 0) ::close(fd_);
}

bool NutClient::send(const std::string& bytes) {
    size_t done = 0;
    while (ok() && done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return ok();
}

bool NutClient::line(std::string& out, double seconds) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const size_t lf = buffered_.find('\n');
        if (lf != std::string::npos) {
            out = buffered_.substr(0, lf + 1);
            buffered_.erase(0, lf + 1);
            return true;
        }
        if (closed_ || !ok() || since(start) >= seconds) return false;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            closed_ = true;
            continue;
        }
        buffered_.append(buf, static_cast<size_t>(n));
        all_.append(buf, static_cast<size_t>(n));
    }
}

std::string NutClient::ask(const std::string& request, double seconds) {
    if (!send(request + "\n")) return {};
    std::string first;
    if (!line(first, seconds)) return {};
    if (first.rfind("BEGIN LIST ", 0) != 0) return first;
    const std::string end = "END LIST " + first.substr(11);
    std::string answer = first, next;
    while (line(next, seconds)) {
        answer += next;
        if (next == end) break;
    }
    return answer;
}

std::string NutClient::next_line(double seconds) {
    std::string out;
    return line(out, seconds) ? out : std::string();
}

bool NutClient::closed_within(double seconds) {
    const auto start = std::chrono::steady_clock::now();
    std::string ignored;
    while (!closed_ && since(start) < seconds) {
        if (!line(ignored, 0.1)) continue;
    }
    return closed_;
}

}  // namespace testsupport
