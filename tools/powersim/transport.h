#pragma once
// Where powersim's line goes: a file or standard output, a serial port or
// pseudo-terminal, or one TCP client at a time (as a serial server serves it).

#include <memory>
#include <string>

namespace powersim {

class Transport {
   public:
    virtual ~Transport() = default;
    // Writes all bytes; false when the other end is gone.
    virtual bool write(const std::string& bytes) = 0;
    // Reads what is there within timeout_ms; 0 on time-out, -1 when closed.
    virtual long read(unsigned char* buf, size_t n, int timeout_ms) = 0;
    // Waits for a peer where the transport has one (TCP); false on failure.
    virtual bool connect() { return true; }
    // Hangs up on the peer where there is one (TCP), as a serial server does
    // when its link drops.
    virtual void hang_up() {}
    virtual std::string describe() const = 0;
};

// "-" is standard output. Throws std::runtime_error naming the target.
std::unique_ptr<Transport> open_file(const std::string& path);
std::unique_ptr<Transport> open_port(const std::string& device);
// "tcp:HOST:PORT"; HOST must be a loopback address.
std::unique_ptr<Transport> open_listener(const std::string& spec);

}  // namespace powersim
