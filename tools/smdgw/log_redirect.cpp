#include "tools/smdgw/log_redirect.h"

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

}  // namespace smdgw
