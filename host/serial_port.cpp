#include "host/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

speed_t speed_constant(int baud) {
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return B9600;
    }
}

}  // namespace

std::shared_ptr<SerialPort> SerialPort::open(const std::string& path, int baud,
                                             std::string& error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open port " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    if (::isatty(fd)) {
        termios tio{};
        if (::tcgetattr(fd, &tio) != 0) {
            error = "cannot read settings of port " + path + ": " + std::strerror(errno);
            const int why = errno;
            ::close(fd);
            errno = why;
            return nullptr;
        }
        ::cfmakeraw(&tio);
        tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CSIZE);
        tio.c_cflag |= CS8 | CLOCAL | CREAD;
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        ::cfsetispeed(&tio, speed_constant(baud));
        ::cfsetospeed(&tio, speed_constant(baud));
        if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
            error = "cannot set port " + path + " to raw 8N1: " + std::strerror(errno);
            const int why = errno;
            ::close(fd);
            errno = why;
            return nullptr;
        }
    }
    return std::shared_ptr<SerialPort>(new SerialPort(path, fd));
}

SerialPort::~SerialPort() { close(); }

void SerialPort::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool SerialPort::write(const unsigned char* data, size_t length) {
    size_t done = 0;
    while (fd_ >= 0 && done < length) {
        const ssize_t n = ::write(fd_, data + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, 1000) <= 0) return false;  // the line does not drain: give up
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return done == length;
}
