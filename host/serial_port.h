#pragma once
// A serial line opened from a device path: a tty set to raw 8N1 at the line's
// speed, or a pseudo-terminal or FIFO used as it is.

#include <memory>
#include <string>

#include "host/line_port.h"

class SerialPort : public LinePort {
   public:
    // Null with a message naming the path when the port cannot be opened;
    // errno then says why (ENOENT, EACCES, ...).
    static std::shared_ptr<SerialPort> open(const std::string& path, int baud, std::string& error);
    ~SerialPort() override;

    bool is_open() const override { return fd_ >= 0; }
    bool write(const unsigned char* data, size_t length) override;
    const std::string& name() const override { return path_; }
    int fd() const { return fd_; }
    void close();

   private:
    SerialPort(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
    std::string path_;
    int fd_ = -1;
};
