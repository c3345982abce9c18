#pragma once
// The byte channel a device writes its commands to: a serial port, a
// pseudo-terminal, a FIFO or a serial server connection.

#include <cstddef>
#include <string>

class LinePort {
   public:
    virtual ~LinePort() = default;
    virtual bool is_open() const = 0;
    // Writes all bytes; false when the port is closed or the write failed.
    virtual bool write(const unsigned char* data, size_t length) = 0;
    virtual const std::string& name() const = 0;
};
