#include "bench/log_target.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace bench {

std::string temp_path(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/" + name + "." + std::to_string(::getpid());
}

StdoutRedirect::StdoutRedirect(const std::string& path) {
    std::cout.flush();
    std::fflush(stdout);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    saved_ = ::dup(STDOUT_FILENO);
    if (saved_ >= 0 && ::dup2(fd, STDOUT_FILENO) < 0) {
        ::close(saved_);
        saved_ = -1;
    }
    ::close(fd);
}

StdoutRedirect::~StdoutRedirect() {
    if (saved_ < 0) return;
    std::cout.flush();
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
}

void StdoutRedirect::rewind() {
    std::cout.flush();
    std::fflush(stdout);
    if (::ftruncate(STDOUT_FILENO, 0) == 0) ::lseek(STDOUT_FILENO, 0, SEEK_SET);
}

}  // namespace bench
