#include "tools/smdgw/outbox/disk_reserve.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/smdgw/core/safe_file.h"

namespace smdgw {

bool DiskReserve::hold(std::string& error) {
    if (held_) return true;
    const int fd =
        ::open(path_.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kCreatedFileMode);
    if (fd < 0) {
        error = path_ + ": cannot open: " + std::strerror(errno);
        return false;
    }
    // posix_fallocate writes zeros itself where the file system cannot
    // allocate, so the blocks are really taken either way.
    const int rc = ::posix_fallocate(fd, 0, static_cast<off_t>(bytes_));
    const bool synced = rc == 0 && ::fsync(fd) == 0;
    const int sync_errno = errno;
    ::close(fd);
    if (rc != 0 || !synced) {
        error = path_ + ": cannot allocate " + std::to_string(bytes_) + " bytes: " +
                std::strerror(rc != 0 ? rc : sync_errno);
        ::unlink(path_.c_str());
        return false;
    }
    held_ = true;
    return true;
}

void DiskReserve::release() {
    // Unlinked even when not held: a file left by a run that was killed.
    ::unlink(path_.c_str());
    held_ = false;
}

int64_t free_bytes_at(const std::string& path) {
    struct statvfs st {};
    if (::statvfs(path.c_str(), &st) != 0) return -1;
    return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
}

}  // namespace smdgw
