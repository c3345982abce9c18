#include "tools/smdgw/core/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace smdgw {

namespace {

std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string reason(const std::string& doing, const std::string& path) {
    return doing + " " + path + ": " + std::strerror(errno);
}

// mkstemp makes 0600; the file gets the gateway's mode under the umask.
mode_t created_mode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return static_cast<mode_t>(kCreatedFileMode & ~mask);
}

}  // namespace

bool write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool replace_file(const std::string& path, const std::string& text, std::string& error) {
    // Renaming over a device or a pipe (--prometheus /dev/null) would take it
    // from everyone who uses it: only a regular file (or a link, which the
    // rename replaces), or none yet, is replaced.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        error = "refusing to replace " + path + ": it is not a regular file";
        return false;
    }
    std::string tmpl = path + ".XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        error = reason("cannot create a temporary file for", path);
        return false;
    }
    const std::string tmp(name.data());
    bool ok = ::fchmod(fd, created_mode()) == 0 && write_all(fd, text.data(), text.size()) &&
              ::fsync(fd) == 0;
    if (!ok) error = reason("cannot write", tmp);
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = reason("cannot write", tmp);
    }
    if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        error = reason("cannot rename " + tmp + " to", path);
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        return false;
    }
    // The rename itself is durable only once the folder is synced.
    const int dir = ::open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

int open_append(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC,
                          kCreatedFileMode);
    if (fd < 0) {
        error = errno == ELOOP ? "cannot open " + path + ": it is a symbolic link"
                               : reason("cannot open", path);
    }
    return fd;
}

bool prepare_database_file(const std::string& path, std::string& error) {
    // lstat first for a message that says what is wrong; the open below
    // refuses a link on its own (O_NOFOLLOW), whatever changed in between.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        error = "refusing " + path + ": it is a symbolic link; give the file itself";
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                          kCreatedFileMode);
    if (fd < 0) {
        error = errno == ELOOP ? "refusing " + path + ": it is a symbolic link; give the file itself"
                               : reason("cannot open", path);
        return false;
    }
    bool ok = ::fstat(fd, &st) == 0;
    if (!ok) {
        error = reason("cannot read the status of", path);
    } else if (!S_ISREG(st.st_mode)) {
        ok = false;
        error = "refusing " + path + ": it is not a regular file";
    } else if (st.st_uid != ::geteuid()) {
        ok = false;
        error = "refusing " + path + ": it belongs to user " + std::to_string(st.st_uid) +
                ", not to the user smdgw runs as (" + std::to_string(::geteuid()) + ")";
    } else if ((st.st_mode & 07777 & ~kCreatedFileMode) != 0 &&
               ::fchmod(fd, st.st_mode & kCreatedFileMode) != 0) {
        ok = false;
        error = reason("cannot narrow the permissions of", path);
    }
    ::close(fd);
    return ok;
}

}  // namespace smdgw
