#include "tools/smdgw/core/credentials_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/smdgw/core/secret_file.h"

namespace smdgw {

namespace {

// A credentials file is two short lines; anything longer is not one.
constexpr size_t kCredentialsMaxBytes = 4096;

}  // namespace

bool read_credentials_file(const std::string& path, Credentials& out, std::string& error) {
    const int fd = ::open(secret_path(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat st {};
    std::string text;
    bool ok = ::fstat(fd, &st) == 0;
    if (!ok) error = std::strerror(errno);
    if (ok) {
        error = secret_mode_problem(st.st_mode);
        ok = error.empty();
    }
    if (ok && static_cast<uint64_t>(st.st_size) > kCredentialsMaxBytes) {
        error = "longer than two lines of user name and password";
        ok = false;
    }
    if (ok) {
        char buf[kCredentialsMaxBytes + 1];
        size_t have = 0;
        for (;;) {
            const ssize_t n = ::read(fd, buf + have, sizeof buf - have);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                error = std::strerror(errno);
                ok = false;
            }
            if (n <= 0) break;
            have += static_cast<size_t>(n);
            if (have == sizeof buf) {
                error = "longer than two lines of user name and password";
                ok = false;
                break;
            }
        }
        text.assign(buf, have);
    }
    ::close(fd);
    if (!ok) return false;
    std::string lines[3];
    size_t n = 0;
    for (size_t pos = 0; pos < text.size() && n < 3;) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(pos, nl - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines[n++] = line;
        pos = nl + 1;
    }
    if (n == 3 && !lines[2].empty()) {
        error = "holds more than two lines (user name, password)";
        return false;
    }
    if (n < 1 || lines[0].empty()) {
        error = "has no user name on its first line";
        return false;
    }
    if (text.find('\0') != std::string::npos) {
        error = "holds a NUL character";
        return false;
    }
    out.username = lines[0];
    out.password = n >= 2 ? lines[1] : std::string();
    return true;
}

}  // namespace smdgw
