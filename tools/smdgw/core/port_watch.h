#pragma once
// Tells a waiting port that its path may have become usable, so that a USB
// adapter plugged back in is opened at once rather than at the next retry.
// inotify watches the folder the port would appear in (the nearest one that
// exists, for /dev/serial/by-id/... before the first adapter creates it) for
// the next name on the way being created or moved in, and the port itself,
// when it exists, for a change of owner or mode. Without inotify the retry
// schedule alone finds the port.
//
//   port /dev/serial/by-id/usb-FTDI-if00-port0, /dev/serial missing:
//   watch /dev for "serial"; when it comes, watch /dev/serial for "by-id", ...

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <cstdint>
#include <functional>
#include <string>

namespace smdgw {

class PortWatch {
   public:
    explicit PortWatch(boost::asio::io_context& io);
    ~PortWatch();
    PortWatch(const PortWatch&) = delete;
    PortWatch& operator=(const PortWatch&) = delete;

    // Watches path until the first event that concerns it, then calls
    // changed once (on the io_context's thread) and stops watching. A later
    // arm replaces the watch. missing: the last open found no such path; if
    // it exists by now, changed is called at once. False when inotify cannot
    // watch (then changed is never called).
    bool arm(const std::string& path, bool missing, std::function<void()> changed);
    void cancel();

   private:
    void read();
    // Walks the bytes of one read: events are a header and a name of the
    // length the header gives; a cut event ends the walk.
    bool concerns_us(const unsigned char* data, size_t n) const;

    boost::asio::posix::stream_descriptor stream_;
    int fd_ = -1;
    int folder_wd_ = -1;  // the folder watched for next_name_
    int file_wd_ = -1;    // the port itself, when it exists
    std::string next_name_;
    std::function<void()> changed_;
    uint64_t generation_ = 0;  // reads of an earlier arm are stale
    std::array<unsigned char, 4096> buf_{};
};

}  // namespace smdgw
