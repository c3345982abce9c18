#include "tools/smdgw/core/log_redirect.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

namespace smdgw {

std::FILE* split_output(const std::string& log_path, std::string& error) {
    std::cout.flush();
    std::fflush(stdout);
    const int out_fd = ::dup(STDOUT_FILENO);
    if (out_fd < 0) {
        error = std::string("cannot duplicate standard output: ") + std::strerror(errno);
        return nullptr;
    }
    int log_fd = STDERR_FILENO;
    if (!log_path.empty()) {
        log_fd = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (log_fd < 0) {
            error = "cannot open log file " + log_path + ": " + std::strerror(errno);
            ::close(out_fd);
            return nullptr;
        }
    }
    if (::dup2(log_fd, STDOUT_FILENO) < 0) {
        error = std::string("cannot redirect the plug-in log: ") + std::strerror(errno);
        ::close(out_fd);
        return nullptr;
    }
    if (log_fd != STDERR_FILENO) ::close(log_fd);
    std::FILE* out = ::fdopen(out_fd, "w");
    if (!out) error = std::string("cannot open output stream: ") + std::strerror(errno);
    return out;
}

PrefixedLogRelay::PrefixedLogRelay(std::string prefix) : prefix_(std::move(prefix)) {
    int fds[2];
    std::cout.flush();
    std::fflush(stdout);
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    if (::dup2(fds[1], STDOUT_FILENO) < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return;
    }
    ::close(fds[1]);
    read_fd_ = fds[0];
    thread_ = std::thread([this] { relay(); });
}

PrefixedLogRelay::~PrefixedLogRelay() {
    if (read_fd_ < 0) return;
    std::cout.flush();
    std::fflush(stdout);
    // Descriptor 1 was the pipe's only writer: pointing it elsewhere ends it.
    const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
        ::dup2(null_fd, STDOUT_FILENO);
        ::close(null_fd);
    }
    thread_.join();
    ::close(read_fd_);
}

void PrefixedLogRelay::relay() {
    std::string pending;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(read_fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buf, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
            const std::string line = prefix_ + pending.substr(start, nl - start + 1);
            if (::write(STDERR_FILENO, line.data(), line.size()) < 0) break;
        }
        pending.erase(0, start);
    }
    if (!pending.empty()) {
        const std::string line = prefix_ + pending + "\n";
        if (::write(STDERR_FILENO, line.data(), line.size()) < 0) return;
    }
}

}  // namespace smdgw
