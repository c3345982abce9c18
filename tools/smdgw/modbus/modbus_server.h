#pragma once
// The Modbus TCP server's sockets: one listening socket and its connections
// in a poll loop on the service's thread, every client bounded
// (modbus_limits.h): requests a second, bytes held, connections in all and
// per address, silence. Each whole request read goes through the parser
// (modbus_request.h) and is answered at once (modbus_answer.h).
//
// A loop of our own rather than libmodbus's server calls: modbus_receive
// waits on one socket at a time and has no bound per client, while the
// bounds here need every connection in one poll. libmodbus still builds and
// sends every answer.

#include <memory>
#include <string>
#include <vector>

#include "tools/smdgw/core/log_limiter.h"
#include "tools/smdgw/modbus/modbus_answer.h"
#include "tools/smdgw/modbus/modbus_counters.h"
#include "tools/smdgw/modbus/modbus_limits.h"

namespace smdgw::modbus {

struct ServerLimits {
    unsigned max_connections = kDefaultMaxConnections;
    unsigned max_per_client = kDefaultMaxPerClient;
    double idle_timeout_s = kDefaultIdleTimeoutS;
};

class ModbusServer {
   public:
    ModbusServer(const UnitReader& units, ModbusCounters& counters, ServerLimits limits);
    ~ModbusServer();
    ModbusServer(const ModbusServer&) = delete;
    ModbusServer& operator=(const ModbusServer&) = delete;

    // Binds and listens on a numeric address; false with error naming it.
    bool bind(const std::string& address, int port, std::string& error);
    int port() const { return port_; }
    // Serves until stop() is called.
    void run();
    // Any thread: ends run() soon.
    void stop();

   private:
    struct Connection;
    void accept_clients(double now);
    // Reads what came and answers it; false when the connection is to close.
    bool read_from(Connection& c, double now);
    bool answer_requests(Connection& c, double now);
    void close(size_t index);
    int timeout_ms(double now) const;

    ModbusCounters& counters_;
    ModbusAnswerer answerer_;
    const ServerLimits limits_;
    int listen_fd_ = -1;
    int wake_fd_ = -1;
    int port_ = 0;
    std::vector<std::unique_ptr<Connection>> connections_;
    LogLimiter refuse_log_{60.0};
    LogLimiter frame_log_{60.0};
};

}  // namespace smdgw::modbus
