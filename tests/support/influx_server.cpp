#include "tests/support/influx_server.h"

#include <httplib.h>
#include <json/reader.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "tests/support/mqtt_broker.h"

namespace testsupport {

InfluxServer::InfluxServer(const std::string& dir) : dir_(dir), port_(free_loopback_port()) {
    std::ofstream conf(dir + "/influxdb.conf");
    conf << "reporting-disabled = true\n"
         << "bind-address = \"127.0.0.1:" << free_loopback_port() << "\"\n"
         << "[meta]\n  dir = \"" << dir << "/influx-meta\"\n"
         << "[data]\n  dir = \"" << dir << "/influx-data\"\n  wal-dir = \"" << dir
         << "/influx-wal\"\n  query-log-enabled = false\n"
         << "[http]\n  bind-address = \"127.0.0.1:" << port_ << "\"\n  log-enabled = false\n"
         << "[monitor]\n  store-enabled = false\n"
         << "[continuous_queries]\n  enabled = false\n";
}

InfluxServer::~InfluxServer() {
    if (child_) {
        child_->signal(SIGTERM);
        child_->wait(10.0);
    }
}

bool InfluxServer::start() {
    child_ = std::make_unique<Child>(
        std::vector<std::string>{"/usr/bin/influxd", "-config", dir_ + "/influxdb.conf"},
        dir_ + "/influxd.out", dir_ + "/influxd.err");
    httplib::Client c("127.0.0.1", port_);
    c.set_connection_timeout(1);
    for (int i = 0; i < 200; ++i) {
        const auto r = c.Get("/ping");
        if (r && r->status == 204) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

std::string InfluxServer::write_url(const std::string& db) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/write?db=" + db;
}

Json::Value InfluxServer::query(const std::string& db, const std::string& q) const {
    httplib::Client c("127.0.0.1", port_);
    const auto r = c.Post("/query", httplib::Params{{"db", db}, {"q", q}});
    Json::Value v;
    if (!r || r->status != 200 || !Json::Reader().parse(r->body, v)) return Json::Value();
    return v["results"];
}

std::string InfluxServer::log() const {
    return read_text(dir_ + "/influxd.out") + read_text(dir_ + "/influxd.err");
}

}  // namespace testsupport
