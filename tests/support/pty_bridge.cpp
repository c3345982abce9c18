#include "tests/support/pty_bridge.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace testsupport {

namespace {

void open_raw_pty(int& master, int& slave, std::string& name) {
    char path[128] = {};
    termios tio{};
    ::cfmakeraw(&tio);
    if (::openpty(&master, &slave, path, &tio, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    // Programs the test starts must not hold the line open: closing the
    // bridge is then a cable pulled.
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    // The relay must never block on a side nobody reads.
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    name = path;
}

}  // namespace

PtyBridge::PtyBridge() {
    open_raw_pty(master_a_, slave_a_, name_a_);
    open_raw_pty(master_b_, slave_b_, name_b_);
    thread_ = std::thread([this] { relay(); });
}

PtyBridge::~PtyBridge() {
    stop_ = true;
    thread_.join();
    for (int fd : {master_a_, slave_a_, master_b_, slave_b_})
        if (fd >= 0) ::close(fd);
}

void PtyBridge::relay() {
    // The slaves stay open here too, so that a program closing its end does
    // not hang up the pseudo-terminal for the next one.
    pollfd fds[2] = {{master_a_, POLLIN, 0}, {master_b_, POLLIN, 0}};
    char buf[4096];
    while (!stop_) {
        if (::poll(fds, 2, 20) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) continue;
            if (i == 1) from_b_ += static_cast<uint64_t>(n);
            const int to = i == 0 ? master_b_ : master_a_;
            // A side whose program stopped reading fills its buffer: wait for
            // room while the bridge lives, never past its end (a blocking
            // write here once held a test's teardown for good).
            ssize_t done = 0;
            while (done < n && !stop_) {
                const ssize_t w = ::write(to, buf + done, static_cast<size_t>(n - done));
                if (w > 0) {
                    done += w;
                    continue;
                }
                if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                    pollfd out{to, POLLOUT, 0};
                    ::poll(&out, 1, 20);
                    continue;
                }
                break;  // the other side hung up: the bytes are lost, as on a cable
            }
        }
    }
}

}  // namespace testsupport
