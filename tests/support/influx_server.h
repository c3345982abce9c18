#pragma once
// A real InfluxDB 1.x for tests (Debian's influxd), on free loopback ports,
// its data in the test's folder.

#include <json/value.h>

#include <memory>
#include <string>

#include "tests/support/run_process.h"

namespace testsupport {

class InfluxServer {
   public:
    explicit InfluxServer(const std::string& dir);
    ~InfluxServer();
    InfluxServer(const InfluxServer&) = delete;
    InfluxServer& operator=(const InfluxServer&) = delete;

    // Starts it and waits (bounded) until /ping answers; false when influxd
    // is missing or does not come up (log() says why).
    bool start();
    int port() const { return port_; }
    // The /write URL of a database.
    std::string write_url(const std::string& db) const;
    // Runs an InfluxQL statement; the "results" of the answer (null on error).
    Json::Value query(const std::string& db, const std::string& q) const;
    std::string log() const;

   private:
    std::string dir_;
    int port_;
    std::unique_ptr<Child> child_;
};

}  // namespace testsupport
