#pragma once
// A plain NUT network client on loopback for tests: sends request lines and
// reads whole answers (one line, or a list through its END LIST line), with
// every wait bounded.

#include <string>

namespace testsupport {

class NutClient {
   public:
    // Connects to 127.0.0.1:port; rcvbuf > 0 shrinks the receive buffer first
    // (a client that reads slowly, or never).
    explicit NutClient(int port, int rcvbuf = 0);
    ~NutClient();
    NutClient(const NutClient&) = delete;
    NutClient& operator=(const NutClient&) = delete;

    bool ok() const { return fd_ >= 0; }
    // Sends the bytes as they are.
    bool send(const std::string& bytes);
    // Sends request + LF and returns the answer as received ("" when none
    // came within seconds).
    std::string ask(const std::string& request, double seconds = 10.0);
    // The next answer line as received ("" when none came within seconds).
    std::string next_line(double seconds = 10.0);
    // Every byte received so far, CR and all.
    const std::string& received() const { return all_; }
    // Whether the server closed the connection within seconds (what arrives
    // meanwhile is read and kept).
    bool closed_within(double seconds);

   private:
    // One line from the server; false after seconds or at its close.
    bool line(std::string& out, double seconds);

    int fd_ = -1;
    std::string buffered_;
    std::string all_;
    bool closed_ = false;
};

}  // namespace testsupport
