#include "tools/smdgw/core/log_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/smdgw/core/safe_file.h"

namespace smdgw {

std::unique_ptr<LogFile> LogFile::open(const std::string& path, const LogRotation& rotation,
                                       std::string& error) {
    std::unique_ptr<LogFile> f(new LogFile(path, rotation));
    if (!f->open_file(error)) return nullptr;
    return f;
}

LogFile::~LogFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool LogFile::open_file(std::string& error) {
    fd_ = open_append(path_, error);
    if (fd_ < 0) return false;
    struct stat st {};
    const bool known = ::fstat(fd_, &st) == 0;
    // Only a regular file is rotated: renaming /dev/null or a pipe to FILE.1
    // would take it from everyone who writes to it.
    regular_ = known && S_ISREG(st.st_mode);
    size_ = regular_ ? static_cast<uint64_t>(st.st_size) : 0;
    return true;
}

bool LogFile::reopen(std::string& error) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    return open_file(error);
}

bool LogFile::rotate(std::string& error) {
    // FILE.keep is replaced by FILE.(keep-1), ..., FILE.1 by FILE.
    for (unsigned k = rot_.keep; k >= 1; --k) {
        const std::string from = k == 1 ? path_ : path_ + "." + std::to_string(k - 1);
        const std::string to = path_ + "." + std::to_string(k);
        if (std::rename(from.c_str(), to.c_str()) != 0 && errno != ENOENT) {
            error = "cannot rotate " + from + " to " + to + ": " + std::strerror(errno);
            return false;
        }
    }
    if (rot_.keep == 0 && ::unlink(path_.c_str()) != 0 && errno != ENOENT) {
        error = "cannot remove " + path_ + " to rotate it: " + std::strerror(errno);
        return false;
    }
    return reopen(error);
}

bool LogFile::write(const char* data, size_t n, std::string& error) {
    if (fd_ < 0 && !open_file(error)) return false;
    while (n > 0) {
        size_t part = n;
        if (regular_ && rot_.max_size > 0 && size_ + n > rot_.max_size) {
            // As many whole lines as still fit; at least one line in an empty file.
            const uint64_t room = size_ < rot_.max_size ? rot_.max_size - size_ : 0;
            part = 0;
            for (size_t i = 0; i < n && i < room; ++i)
                if (data[i] == '\n') part = i + 1;
            if (part == 0) {
                if (size_ > 0) {
                    if (!rotate(error)) return false;
                    continue;
                }
                const char* nl = static_cast<const char*>(std::memchr(data, '\n', n));
                part = nl ? static_cast<size_t>(nl - data) + 1 : n;
            }
        }
        if (!write_all(fd_, data, part)) {
            error = "cannot write " + path_ + ": " + std::strerror(errno);
            return false;
        }
        size_ += part;
        data += part;
        n -= part;
    }
    return true;
}

}  // namespace smdgw
