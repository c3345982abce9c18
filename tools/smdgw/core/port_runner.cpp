#include "tools/smdgw/core/port_runner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "host/host_port.h"
#include "host/serial_port.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/log_limiter.h"
#include "tools/smdgw/core/port_access.h"
#include "tools/smdgw/core/port_watch.h"
#include "tools/smdgw/core/retry_backoff.h"
#include "tools/smdgw/core/safe_file.h"
#include "tools/smdgw/core/service_watchdog.h"

namespace smdgw {

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

// The host calls Reset this often so that a silent line raises the
// communication alarm.
constexpr double kResetSeconds = 10.0;
// Device states (staleness) are looked at this often, in host-clock seconds.
constexpr double kStateSeconds = 1.0;
// The line states in a device's statistics.
const char* const kNoPort = "no-port";
const char* const kOpen = "open";

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

// Why a port is not open; a message is written when this changes.
enum class PortTrouble { None, Missing, Denied, Failed, Closed };

// How a port that is away is tried again: every second for the first
// minute (an adapter that enumerates late, a cable pulled and put back),
// then at growing, jittered intervals of at most 10 s. A port that appears in
// a watched folder is tried at once.
RetryPolicy port_retry_policy() {
    RetryPolicy p;
    p.fast_interval_s = 1.0;
    p.fast_for_s = 60.0;
    p.base_s = 2.0;
    p.cap_s = 10.0;
    p.full_jitter = true;
    return p;
}

// A port still away is said again this often.
constexpr double kStillAwayEvery = 60.0;

double seconds_between(std::chrono::steady_clock::time_point a,
                       std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

std::string duration_text(double s) {
    char buf[32];
    if (s < 120.0)
        std::snprintf(buf, sizeof buf, "%.1f s", s);
    else if (s < 7200.0)
        std::snprintf(buf, sizeof buf, "%.0f min", s / 60.0);
    else
        std::snprintf(buf, sizeof buf, "%.1f h", s / 3600.0);
    return buf;
}

// One serial line (a serial port, pseudo-terminal, FIFO or TCP serial server):
// its port, the devices on it and the read loop. A line that fails or closes
// is reopened on the port retry schedule; partial frames across reads and
// reconnects are the frame decoder's business.
class SerialLine : public std::enable_shared_from_this<SerialLine> {
   public:
    SerialLine(asio::io_context& io, Gateway& gw, std::string path, std::FILE* record)
        : gw_(gw),
          path_(std::move(path)),
          record_(record),
          stream_(io),
          socket_(io),
          resolver_(io),
          retry_(io),
          watch_(io),
          backoff_(port_retry_policy()),
          still_(kStillAwayEvery) {}

    std::vector<RunningDevice*> devices;
    // Set when the gateway is master of this line.
    std::shared_ptr<PolledLine> polled;

    bool is_tcp() const { return path_.rfind("tcp:", 0) == 0; }

    // Opens the port, or connects in the background; a port that is missing
    // or fails is retried on the port schedule, the other lines run on.
    void start() {
        for (RunningDevice* d : devices) d->line_state = kNoPort;
        try_open();
    }

    void close() {
        closed_ = true;
        boost::system::error_code ec;
        stream_.close(ec);
        socket_.close(ec);
        retry_.cancel();
        watch_.cancel();
        if (serial_) serial_->close();
        if (tcp_port_) tcp_port_->set_open(false);
        if (polled) polled->stop();
    }

   private:
    // The port or connection is usable: the devices (or the poller) write to it.
    void attach(const std::shared_ptr<LinePort>& port) {
        if (polled) {
            polled->opened(port);
            return;
        }
        for (RunningDevice* d : devices) d->driver->AttachPort(port);
    }

    void try_open() {
        if (closed_) return;
        if (is_tcp()) {
            set_state(kNoPort);  // until connected
            connect_tcp();
            return;
        }
        std::string error;
        // The line's speed is the drivers' (the first device's on a shared line).
        const int baud = devices.empty() ? 9600 : devices.front()->driver->BaudRate();
        serial_ = SerialPort::open(path_, baud, error);
        if (!serial_) {
            const int why = errno;
            if (why == ENOENT)
                fail(PortTrouble::Missing, error, true);
            else if (why == ENODEV || why == ENXIO)
                fail(PortTrouble::Missing, error);
            else if (why == EACCES || why == EPERM)
                fail(PortTrouble::Denied, error + "; " + permission_hint());
            else
                fail(PortTrouble::Failed, error);
            return;
        }
        const int fd = ::fcntl(serial_->fd(), F_DUPFD_CLOEXEC, 3);
        if (fd < 0) {
            error = "cannot duplicate the descriptor of " + path_ + ": " + std::strerror(errno);
            serial_->close();
            fail(PortTrouble::Failed, error);
            return;
        }
        attach(serial_);
        stream_.assign(fd);
        opened();
        read_serial();
    }

    // Whose port it is and what would let smdgw open it.
    std::string permission_hint() const {
        const PortFile f = inspect_port(path_);
        const PortUser me = current_user();
        std::string hint = describe_port(f) + ", and smdgw runs as " + me.label;
        const std::string fix = access_fix(f, me);
        return fix.empty() ? hint : hint + ": " + fix;
    }

    // The line is open: the devices on it run, the schedule starts over.
    void opened() {
        if (trouble_ != PortTrouble::None) {
            const auto now = std::chrono::steady_clock::now();
            log_info("port " + path_ + " is open" +
                     (outage_since_
                          ? " (after " + duration_text(seconds_between(*outage_since_, now)) +
                                ", " + std::to_string(backoff_.attempts() + 1) + " tries)"
                          : std::string()));
        }
        set_state(kOpen);
        trouble_ = PortTrouble::None;
        outage_since_.reset();
        backoff_.reset();
        watch_.cancel();
    }

    // Tells the devices on the line whether their port is open.
    void set_state(const char* state) {
        for (RunningDevice* d : devices) {
            d->line_state = state;
            d->driver->SetPortOpen(state == kOpen);
        }
    }

    void connect_tcp() {
        smd::HostPort hp;  // checked by check_port_path before the gateway starts
        smd::parse_host_port(path_.substr(4), hp, smd::PortZero::Refused);
        const std::string host = hp.host;
        const std::string port = std::to_string(hp.port);
        boost::system::error_code ec;
        const auto endpoints = resolver_.resolve(host, port, ec);
        if (ec) {
            fail(PortTrouble::Failed, "cannot resolve " + path_ + ": " + ec.message());
            return;
        }
        auto self = shared_from_this();
        asio::async_connect(
            socket_, endpoints, [self](const boost::system::error_code& e, const tcp::endpoint&) {
                if (self->closed_) return;
                if (e) {
                    self->fail(PortTrouble::Failed,
                               "cannot connect to " + self->path_ + ": " + e.message());
                    return;
                }
                if (!self->tcp_port_)
                    self->tcp_port_ = std::make_shared<TcpLinePort>(self->socket_, self->path_);
                self->tcp_port_->set_open(true);
                self->attach(self->tcp_port_);
                if (self->trouble_ == PortTrouble::None) log_info("connected to " + self->path_);
                self->opened();
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
            if (polled)
                polled->received(buf_.data(), n);
            else
                gw_.feed(devices, buf_.data(), n);
            if (is_tcp())
                read_tcp();
            else
                read_serial();
            return;
        }
        fail(PortTrouble::Closed, "port " + path_ +
                                      (!ec || ec == asio::error::eof ? std::string(" closed")
                                                                     : " failed: " + ec.message()));
    }

    // The port is away: the devices hear of it, and it is tried again on the
    // schedule or at once when its folder says it is back. A change of
    // trouble is said once; the same trouble once a minute.
    // path_absent: the open found no such path, so its folder is watched
    // for the name to appear.
    void fail(PortTrouble trouble, const std::string& what, bool path_absent = false) {
        if (closed_) return;
        set_state(kNoPort);
        for (RunningDevice* d : devices) ++d->port_failures;
        boost::system::error_code ignore;
        stream_.close(ignore);
        socket_.close(ignore);
        if (serial_) serial_->close();
        if (tcp_port_) tcp_port_->set_open(false);
        if (polled) polled->closed();

        const auto now = std::chrono::steady_clock::now();
        if (!outage_since_) outage_since_ = now;
        const double away = seconds_between(*outage_since_, now);
        const double now_s = seconds_between(std::chrono::steady_clock::time_point{}, now);
        // A port that closes once is said to have closed; trying it again
        // finds it missing or refused, which is the same outage.
        const PortTrouble shown = trouble == PortTrouble::Closed ? PortTrouble::Missing : trouble;
        if (trouble == PortTrouble::Closed || shown != trouble_) {
            log_warning(what + "; " +
                        (away < port_retry_policy().fast_for_s
                             ? "trying again every second for a minute, then "
                               "at least every 10 s"
                             : "trying again at least every 10 s") +
                        (is_tcp() ? ""
                         : shown == PortTrouble::Denied
                             ? " and at once when its owner or mode changes"
                             : " and at once when it appears"));
            still_.reset();
            still_.allow(now_s);
        } else if (const auto held = still_.allow(now_s)) {
            (void)held;
            log_warning(what + " (still, for " + duration_text(away) + ", " +
                        std::to_string(backoff_.attempts() + 1) + " tries)");
        }
        trouble_ = shown;

        const double delay = backoff_.next_delay(away);
        retry_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(delay)));
        auto self = shared_from_this();
        retry_.async_wait([self](const boost::system::error_code& e) {
            if (e || self->closed_) return;
            self->watch_.cancel();
            self->try_open();
        });
        if (!is_tcp())
            watch_.arm(path_, path_absent, [self] {
                if (self->closed_) return;
                self->retry_.cancel();
                self->try_open();
            });
    }

    Gateway& gw_;
    std::string path_;
    std::FILE* record_;
    asio::posix::stream_descriptor stream_;
    tcp::socket socket_;
    tcp::resolver resolver_;
    asio::steady_timer retry_;
    PortWatch watch_;
    RetryBackoff backoff_;
    LogLimiter still_;
    std::shared_ptr<SerialPort> serial_;
    std::shared_ptr<TcpLinePort> tcp_port_;
    PortTrouble trouble_ = PortTrouble::None;
    std::optional<std::chrono::steady_clock::time_point> outage_since_;
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

bool check_port_path(const std::string& path, std::string& error) {
    if (path.rfind("tcp:", 0) == 0) {
        smd::HostPort hp;
        const std::string why = smd::parse_host_port(path.substr(4), hp, smd::PortZero::Refused);
        if (!why.empty()) {
            error = "port \"" + path + "\": " + why + " (tcp:HOST:PORT)";
            return false;
        }
        return true;
    }
    struct stat st {};
    // A port that is missing now may appear later; only a plain file is wrong for good.
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        error = "port " + path + " is a regular file; use --replay for capture files";
        return false;
    }
    return true;
}

std::vector<std::string> port_problems(const GatewayConfig& cfg, const std::string& port_path) {
    std::vector<std::string> problems;
    std::string error;
    if (!port_path.empty() && !check_port_path(port_path, error))
        problems.push_back("--port: " + error);
    for (const DeviceConfig& d : cfg.devices) {
        const std::string at = cfg.path + ": device \"" + d.name + "\"";
        if (d.port.empty() && port_path.empty())
            problems.push_back(at +
                               " names no \"port\" and no --port is given (or give --replay FILE)");
        else if (!d.port.empty() && !check_port_path(d.port, error))
            problems.push_back(at + ": \"port\": " + error);
    }
    // Two devices on one line at one address would both take the same frames;
    // a device without an address takes every frame of its line. (A replay may
    // run two differently configured devices on the same plant.)
    std::map<std::string, std::vector<const DeviceConfig*>> on_line;
    for (const DeviceConfig& d : cfg.devices)
        if (!d.port.empty() || !port_path.empty()) on_line[d.port].push_back(&d);
    for (const auto& kv : on_line) {
        const std::string line = kv.first.empty() ? "--port " + port_path : kv.first;
        const auto& devs = kv.second;
        for (size_t i = 0; i < devs.size(); ++i) {
            const std::string at = cfg.path + ": device \"" + devs[i]->name + "\": ";
            for (size_t j = 0; j < i; ++j) {
                if (devs[i]->address >= 0 && devs[i]->address == devs[j]->address) {
                    problems.push_back(at + "the same port (" + line + ") and address " +
                                       std::to_string(devs[i]->address) + " as device \"" +
                                       devs[j]->name + "\"");
                    break;
                }
                const DeviceConfig* every = devs[i]->address < 0   ? devs[i]
                                            : devs[j]->address < 0 ? devs[j]
                                                                   : nullptr;
                if (every) {
                    const DeviceConfig* other = every == devs[i] ? devs[j] : devs[i];
                    problems.push_back(cfg.path + ": device \"" + every->name +
                                       "\": takes every address on port " + line +
                                       ", so the frames of device \"" + other->name +
                                       "\" too (give each an \"address\")");
                    break;
                }
            }
        }
    }
    return problems;
}

bool run_ports(Gateway& gw, const PortOptions& opt) {
    asio::io_context io;
    std::FILE* record = nullptr;
    if (!opt.record_path.empty()) {
        std::string error;
        const int fd = open_append(opt.record_path, error);
        if (fd >= 0) record = ::fdopen(fd, "ab");
        if (!record) {
            log_error("--record: " + error);
            if (fd >= 0) ::close(fd);
            return false;
        }
    }
    std::map<std::string, std::shared_ptr<SerialLine>> lines;
    for (RunningDevice& d : gw.devices()) {
        const std::string path = d.cfg.port.empty() ? opt.default_port : d.cfg.port;
        if (path.empty()) {
            Gateway::report(d.cfg.name, "no port configured and no --port given");
            d.driver->SetPortOpen(false);
            continue;
        }
        auto& line = lines[path];
        if (!line) line = std::make_shared<SerialLine>(io, gw, path, record);
        line->devices.push_back(&d);
    }
    // Who may share a line was checked with the configuration
    // (check_master_input): a master's line holds masters only.
    for (auto it = lines.begin(); it != lines.end();) {
        if (it->second->devices.front()->cfg.role == DeviceRole::Master) {
            if (!opt.polled_lines) {
                log_error("port " + it->first + ": master devices need the poller");
                it = lines.erase(it);
                continue;
            }
            it->second->polled = opt.polled_lines(io, gw, it->second->devices, opt.time_scale);
        }
        ++it;
    }
    for (auto& kv : lines) kv.second->start();

    const double scale = opt.time_scale > 0.0 ? opt.time_scale : 1.0;
    Ticker reset(io, scaled(kResetSeconds, scale), [&] { gw.reset_all(); });
    Ticker states(io, scaled(kStateSeconds, scale), [&] { gw.tick_states(); });
    std::unique_ptr<Ticker> stats;
    if (opt.stats_interval > 0.0)
        stats = std::make_unique<Ticker>(io, scaled(opt.stats_interval, 1.0),
                                         [&] {
                                             gw.write_stats();
                                             if (opt.more_stats) opt.more_stats();
                                         });
    // --count, SIGINT and SIGTERM: checked often enough to stop soon after;
    // the work other threads queued for the line runs here when it is quiet.
    Ticker stop_check(io, std::chrono::milliseconds(50), [&] {
        stall_while_test_file_exists();
        if (opt.on_tick) opt.on_tick();
        gw.between_frames();
        if (gw.stop_requested()) io.stop();
    });
    io.run();
    for (auto& kv : lines) kv.second->close();
    if (record) std::fclose(record);
    return true;
}

}  // namespace smdgw
