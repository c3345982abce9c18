#include "tools/smdgw/core/secret_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace smdgw {

std::string secret_mode_problem(mode_t mode) {
    if (!S_ISREG(mode)) return "not a regular file";
    const bool others = (mode & S_IRWXO) != 0;
    const bool group_writes = (mode & S_IWGRP) != 0;
    if (!others && !group_writes) return {};
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode & 07777));
    return std::string(others ? "others may read or change it" : "its group may change it") +
           " (mode " + octal + "); chmod o-rwx,g-w it";
}

std::string secret_path(const std::string& path) {
    const char* dir = std::getenv("CREDENTIALS_DIRECTORY");
    if (path.empty() || path.find('/') != std::string::npos || !dir || !*dir) return path;
    return std::string(dir) + "/" + path;
}

std::string secret_file_problem(const std::string& path) {
    struct stat st {};
    if (::stat(secret_path(path).c_str(), &st) != 0) return std::strerror(errno);
    return secret_mode_problem(st.st_mode);
}

}  // namespace smdgw
