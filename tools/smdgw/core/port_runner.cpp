#include "tools/smdgw/core/port_runner.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "host/serial_port.h"
#include "tools/smdgw/core/log.h"

namespace smdgw {

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

// The host calls Reset this often so that a silent line raises the
// communication alarm.
constexpr double kResetSeconds = 10.0;
constexpr auto kMaxRetryDelay = std::chrono::seconds(30);

std::chrono::steady_clock::duration scaled(double seconds, double scale) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds / scale));
}

// A serial server connection as the port devices write their commands to.
class TcpLinePort : public LinePort {
   public:
    TcpLinePort(tcp::socket& s, std::string name) : socket_(s), name_(std::move(name)) {}
    bool is_open() const override { return open_ && socket_.is_open(); }
    bool write(const unsigned char* data, size_t length) override {
        boost::system::error_code ec;
        asio::write(socket_, asio::buffer(data, length), ec);
        return !ec;
    }
    const std::string& name() const override { return name_; }
    void set_open(bool open) { open_ = open; }

   private:
    tcp::socket& socket_;
    std::string name_;
    bool open_ = false;
};

// One line: its port, the devices on it and the read loop. A line that fails
// or closes is reopened with a growing delay; partial frames across reads and
// reconnects are the frame decoder's business.
class Line : public std::enable_shared_from_this<Line> {
   public:
    Line(asio::io_context& io, Gateway& gw, std::string path, std::FILE* record)
        : gw_(gw),
          path_(std::move(path)),
          record_(record),
          stream_(io),
          socket_(io),
          resolver_(io),
          retry_(io) {}

    std::vector<RunningDevice*> devices;

    bool is_tcp() const { return path_.rfind("tcp:", 0) == 0; }

    // Serial lines open at once (false when they cannot); TCP lines connect in
    // the background.
    bool start() {
        if (is_tcp()) {
            connect_tcp();
            return true;
        }
        return open_serial();
    }

    void close() {
        closed_ = true;
        boost::system::error_code ec;
        stream_.close(ec);
        socket_.close(ec);
        retry_.cancel();
        if (serial_) serial_->close();
        if (tcp_port_) tcp_port_->set_open(false);
    }

   private:
    bool open_serial() {
        std::string error;
        serial_ = SerialPort::open(path_, 9600, error);
        if (!serial_) {
            log_error(error);
            return false;
        }
        for (RunningDevice* d : devices) d->driver->AttachPort(serial_);
        const int fd = ::dup(serial_->fd());
        if (fd < 0) return false;
        stream_.assign(fd);
        delay_ = std::chrono::seconds(1);
        read_serial();
        return true;
    }

    void connect_tcp() {
        const auto colon = path_.rfind(':');
        const std::string host = path_.substr(4, colon == std::string::npos ? 0 : colon - 4);
        const std::string port = colon == std::string::npos ? "" : path_.substr(colon + 1);
        boost::system::error_code ec;
        const auto endpoints = resolver_.resolve(host, port, ec);
        if (ec) {
            fail("cannot resolve: " + ec.message());
            return;
        }
        auto self = shared_from_this();
        asio::async_connect(
            socket_, endpoints, [self](const boost::system::error_code& e, const tcp::endpoint&) {
                if (self->closed_) return;
                if (e) {
                    self->fail("cannot connect: " + e.message());
                    return;
                }
                if (!self->tcp_port_)
                    self->tcp_port_ = std::make_shared<TcpLinePort>(self->socket_, self->path_);
                self->tcp_port_->set_open(true);
                for (RunningDevice* d : self->devices) d->driver->AttachPort(self->tcp_port_);
                self->delay_ = std::chrono::seconds(1);
                log_info("connected to " + self->path_);
                self->read_tcp();
            });
    }

    void read_serial() {
        auto self = shared_from_this();
        stream_.async_read_some(asio::buffer(buf_), [self](const boost::system::error_code& ec,
                                                           size_t n) { self->on_read(ec, n); });
    }

    void read_tcp() {
        auto self = shared_from_this();
        socket_.async_read_some(asio::buffer(buf_), [self](const boost::system::error_code& ec,
                                                           size_t n) { self->on_read(ec, n); });
    }

    void on_read(const boost::system::error_code& ec, size_t n) {
        if (closed_ || ec == asio::error::operation_aborted) return;
        if (!ec && n > 0) {
            if (record_) {
                std::fwrite(buf_.data(), 1, n, record_);
                std::fflush(record_);
            }
            gw_.feed(devices, buf_.data(), n);
            if (is_tcp())
                read_tcp();
            else
                read_serial();
            return;
        }
        fail(!ec || ec == asio::error::eof ? std::string("closed") : "failed: " + ec.message());
    }

    // Reports the failure and tries again later, waiting longer each time.
    void fail(const std::string& what) {
        if (closed_) return;
        log_warning("port " + path_ + " " + what + "; retrying in " +
                    std::to_string(delay_.count()) + " s");
        boost::system::error_code ignore;
        stream_.close(ignore);
        socket_.close(ignore);
        if (serial_) serial_->close();
        if (tcp_port_) tcp_port_->set_open(false);
        retry_.expires_after(delay_);
        delay_ =
            std::min(delay_ * 2, std::chrono::duration_cast<std::chrono::seconds>(kMaxRetryDelay));
        auto self = shared_from_this();
        retry_.async_wait([self](const boost::system::error_code& e) {
            if (e || self->closed_) return;
            if (self->is_tcp())
                self->connect_tcp();
            else if (!self->open_serial())
                self->fail("cannot be opened");
        });
    }

    Gateway& gw_;
    std::string path_;
    std::FILE* record_;
    asio::posix::stream_descriptor stream_;
    tcp::socket socket_;
    tcp::resolver resolver_;
    asio::steady_timer retry_;
    std::shared_ptr<SerialPort> serial_;
    std::shared_ptr<TcpLinePort> tcp_port_;
    std::chrono::seconds delay_{1};
    bool closed_ = false;
    std::array<unsigned char, 4096> buf_{};
};

// Runs f every interval until cancelled.
class Ticker {
   public:
    Ticker(asio::io_context& io, std::chrono::steady_clock::duration interval,
           std::function<void()> f)
        : timer_(io), interval_(interval), f_(std::move(f)) {
        arm();
    }
    void cancel() { timer_.cancel(); }

   private:
    void arm() {
        timer_.expires_after(interval_);
        timer_.async_wait([this](const boost::system::error_code& ec) {
            if (ec) return;
            f_();
            arm();
        });
    }
    asio::steady_timer timer_;
    std::chrono::steady_clock::duration interval_;
    std::function<void()> f_;
};

}  // namespace

bool run_ports(Gateway& gw, const PortOptions& opt) {
    asio::io_context io;
    std::FILE* record = nullptr;
    if (!opt.record_path.empty()) {
        record = std::fopen(opt.record_path.c_str(), "ab");
        if (!record) {
            log_error("cannot write " + opt.record_path + ": " + std::strerror(errno));
            return false;
        }
    }
    std::map<std::string, std::shared_ptr<Line>> lines;
    for (RunningDevice& d : gw.devices()) {
        const std::string path = d.cfg.port.empty() ? opt.default_port : d.cfg.port;
        if (path.empty()) {
            Gateway::report(d.cfg.name, "no port configured and no --port given");
            continue;
        }
        auto& line = lines[path];
        if (!line) line = std::make_shared<Line>(io, gw, path, record);
        line->devices.push_back(&d);
    }
    size_t started = 0;
    for (auto& kv : lines)
        if (kv.second->start()) ++started;
    if (started == 0) {
        if (record) std::fclose(record);
        return false;
    }

    const double scale = opt.time_scale > 0.0 ? opt.time_scale : 1.0;
    Ticker reset(io, scaled(kResetSeconds, scale), [&] { gw.reset_all(); });
    std::unique_ptr<Ticker> stats;
    if (opt.stats_interval > 0.0)
        stats = std::make_unique<Ticker>(io, scaled(opt.stats_interval, 1.0),
                                         [&] { gw.write_stats(); });
    // --count: checked often enough to stop soon after the last round; the
    // work other threads queued for the line runs here when it is quiet.
    Ticker stop_check(io, std::chrono::milliseconds(50), [&] {
        gw.between_frames();
        if (gw.stop_requested()) io.stop();
    });
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code& ec, int) {
        if (!ec) io.stop();
    });
    io.run();
    for (auto& kv : lines) kv.second->close();
    if (record) std::fclose(record);
    return true;
}

}  // namespace smdgw
