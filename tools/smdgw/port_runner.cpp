#include "tools/smdgw/port_runner.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <vector>

#include "host/serial_port.h"

namespace smdgw {

namespace {

namespace asio = boost::asio;

// The host calls Reset this often so that a silent line raises the
// communication alarm.
constexpr auto kResetInterval = std::chrono::seconds(10);

// One line: its port, the devices on it and the read loop. A line that fails
// is reopened with a growing delay.
class Line : public std::enable_shared_from_this<Line> {
   public:
    Line(asio::io_context& io, Gateway& gw, std::string path, int baud)
        : io_(io), gw_(gw), path_(std::move(path)), baud_(baud), stream_(io), retry_(io) {}

    std::vector<RunningDevice*> devices;

    bool open() {
        std::string error;
        port_ = SerialPort::open(path_, baud_, error);
        if (!port_) {
            std::cerr << "smdgw: " << error << std::endl;
            return false;
        }
        for (RunningDevice* d : devices) d->driver->AttachPort(port_);
        const int fd = ::dup(port_->fd());
        if (fd < 0) return false;
        stream_.assign(fd);
        delay_ = std::chrono::seconds(1);
        read();
        return true;
    }

    void close() {
        boost::system::error_code ec;
        stream_.close(ec);
        retry_.cancel();
        if (port_) port_->close();
    }

   private:
    void read() {
        auto self = shared_from_this();
        stream_.async_read_some(asio::buffer(buf_), [self](const boost::system::error_code& ec,
                                                           size_t n) { self->on_read(ec, n); });
    }

    void on_read(const boost::system::error_code& ec, size_t n) {
        if (ec == asio::error::operation_aborted) return;
        if (!ec && n > 0) {
            gw_.feed(devices, buf_.data(), n);
            read();
            return;
        }
        std::cerr << "smdgw: port " << path_ << " "
                  << (ec ? "failed: " + ec.message() : std::string("closed")) << "; reopening in "
                  << delay_.count() << " s" << std::endl;
        boost::system::error_code ignore;
        stream_.close(ignore);
        if (port_) port_->close();
        retry_.expires_after(delay_);
        auto self = shared_from_this();
        retry_.async_wait([self](const boost::system::error_code& e) {
            if (e) return;
            self->delay_ = std::min(self->delay_ * 2, std::chrono::seconds(30));
            if (!self->open()) self->on_read(asio::error::not_connected, 0);
        });
    }

    asio::io_context& io_;
    Gateway& gw_;
    std::string path_;
    int baud_;
    asio::posix::stream_descriptor stream_;
    asio::steady_timer retry_;
    std::shared_ptr<SerialPort> port_;
    std::chrono::seconds delay_{1};
    std::array<unsigned char, 4096> buf_{};
};

}  // namespace

bool run_ports(Gateway& gw, const std::string& default_port) {
    asio::io_context io;
    std::map<std::string, std::shared_ptr<Line>> lines;
    for (RunningDevice& d : gw.devices()) {
        const std::string path = d.cfg.port.empty() ? default_port : d.cfg.port;
        if (path.empty()) {
            Gateway::report(d.cfg.name, "no port configured and no --port given");
            continue;
        }
        auto& line = lines[path];
        if (!line) line = std::make_shared<Line>(io, gw, path, 9600);
        line->devices.push_back(&d);
    }
    size_t opened = 0;
    for (auto& kv : lines)
        if (kv.second->open()) ++opened;
    if (opened == 0) return false;

    asio::signal_set signals(io, SIGINT, SIGTERM);
    asio::steady_timer reset_timer(io);
    std::function<void()> arm_reset = [&]() {
        reset_timer.expires_after(kResetInterval);
        reset_timer.async_wait([&](const boost::system::error_code& ec) {
            if (ec) return;
            gw.reset_all();
            arm_reset();
        });
    };
    arm_reset();
    signals.async_wait([&](const boost::system::error_code&, int) {
        reset_timer.cancel();
        for (auto& kv : lines) kv.second->close();
        io.stop();
    });
    io.run();
    return true;
}

}  // namespace smdgw
