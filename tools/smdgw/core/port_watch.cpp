#include "tools/smdgw/core/port_watch.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <cstring>

namespace smdgw {

namespace {

namespace asio = boost::asio;

// The folder that exists nearest to path and the name in it that leads on
// to path: ("/dev", "serial") for /dev/serial/by-id/x when /dev/serial is
// missing; (folder of path, its last name) when only the port is missing.
bool nearest_folder(const std::string& path, std::string& folder, std::string& name) {
    std::string child = path;
    while (!child.empty() && child.back() == '/') child.pop_back();
    for (;;) {
        const auto slash = child.rfind('/');
        folder = slash == std::string::npos ? "." : slash == 0 ? "/" : child.substr(0, slash);
        name = slash == std::string::npos ? child : child.substr(slash + 1);
        struct stat st {};
        if (::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return !name.empty();
        if (slash == std::string::npos || slash == 0) return false;
        child = folder;
    }
}

}  // namespace

PortWatch::PortWatch(asio::io_context& io) : stream_(io) {}

PortWatch::~PortWatch() { cancel(); }

void PortWatch::cancel() {
    changed_ = nullptr;
    boost::system::error_code ignore;
    if (fd_ >= 0) stream_.close(ignore);  // closes fd_ and drops its watches
    fd_ = folder_wd_ = file_wd_ = -1;
    ++generation_;
}

bool PortWatch::arm(const std::string& path, bool missing, std::function<void()> changed) {
    cancel();
    std::string folder;
    if (!nearest_folder(path, folder, next_name_)) return false;
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return false;
    folder_wd_ =
        ::inotify_add_watch(fd_, folder.c_str(), IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_ONLYDIR);
    // The port itself (following a link): a new owner or mode may let us in.
    file_wd_ = ::inotify_add_watch(fd_, path.c_str(), IN_ATTRIB);
    if (folder_wd_ < 0 && file_wd_ < 0) {
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    stream_.assign(fd_);
    changed_ = std::move(changed);
    // The port may have come between the failed open and the watch, which
    // would not report it: look once more now.
    struct stat st {};
    if (missing && ::stat(path.c_str(), &st) == 0) {
        auto call = std::move(changed_);
        cancel();
        asio::post(stream_.get_executor(), std::move(call));
        return true;
    }
    read();
    return true;
}

bool PortWatch::concerns_us(const unsigned char* data, size_t n) const {
    size_t at = 0;
    while (n - at >= sizeof(inotify_event)) {
        inotify_event e;
        std::memcpy(&e, data + at, sizeof e);
        if (e.len > n - at - sizeof e) return false;
        const char* name = reinterpret_cast<const char*>(data + at + sizeof e);
        if (e.wd == file_wd_ || (e.mask & IN_Q_OVERFLOW)) return true;
        if (e.wd == folder_wd_) {
            // The name is padded with zeros to its length.
            if (e.len > 0 && std::strncmp(name, next_name_.c_str(), e.len) == 0 &&
                next_name_.size() < e.len)
                return true;
            if (e.mask & IN_IGNORED) return true;  // the folder went; look again
        }
        at += sizeof e + e.len;
    }
    return false;
}

void PortWatch::read() {
    if (fd_ < 0) return;
    const uint64_t generation = generation_;
    stream_.async_read_some(asio::buffer(buf_),
                            [this, generation](const boost::system::error_code& ec, size_t n) {
                                // A closed watch's read ends with an error, perhaps after a new
                                // arm.
                                if (ec || generation != generation_ || !changed_) return;
                                if (!concerns_us(buf_.data(), n)) {
                                    read();
                                    return;
                                }
                                auto call = std::move(changed_);
                                cancel();
                                call();
                            });
}

}  // namespace smdgw
