#include "tools/powersim/transport.h"

#include <poll.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "host/host_port.h"
#include "host/serial_port.h"

namespace powersim {

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

class FileTransport : public Transport {
   public:
    FileTransport(std::FILE* f, std::string name, bool owned)
        : f_(f), name_(std::move(name)), owned_(owned) {}
    ~FileTransport() override {
        if (owned_)
            std::fclose(f_);
        else
            std::fflush(f_);
    }
    bool write(const std::string& bytes) override {
        const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f_) == bytes.size();
        std::fflush(f_);
        return ok;
    }
    long read(unsigned char*, size_t, int) override { return -1; }
    std::string describe() const override { return name_; }

   private:
    std::FILE* f_;
    std::string name_;
    bool owned_;
};

class PortTransport : public Transport {
   public:
    explicit PortTransport(std::shared_ptr<SerialPort> port) : port_(std::move(port)) {}
    bool write(const std::string& bytes) override {
        return port_->write(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    }
    long read(unsigned char* buf, size_t n, int timeout_ms) override {
        pollfd p{port_->fd(), POLLIN, 0};
        const int r = ::poll(&p, 1, timeout_ms);
        if (r == 0) return 0;
        if (r < 0) return errno == EINTR ? 0 : -1;
        const ssize_t got = ::read(port_->fd(), buf, n);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
        return got > 0 ? got : -1;
    }
    std::string describe() const override { return port_->name(); }

   private:
    std::shared_ptr<SerialPort> port_;
};

class TcpTransport : public Transport {
   public:
    TcpTransport(const std::string& host, unsigned short port, std::string spec)
        : acceptor_(io_), socket_(io_), spec_(std::move(spec)) {
        const auto addr = asio::ip::make_address(host);
        if (!addr.is_loopback())
            throw std::runtime_error("listen address " + host + " is not a loopback address");
        tcp::endpoint ep(addr, port);
        acceptor_.open(ep.protocol());
        acceptor_.set_option(tcp::acceptor::reuse_address(true));
        acceptor_.bind(ep);
        acceptor_.listen(1);
    }
    unsigned short local_port() const { return acceptor_.local_endpoint().port(); }
    bool connect() override {
        boost::system::error_code ec;
        socket_.close(ec);
        acceptor_.accept(socket_, ec);
        return !ec;
    }
    void hang_up() override {
        boost::system::error_code ec;
        socket_.shutdown(tcp::socket::shutdown_both, ec);
        socket_.close(ec);
    }
    bool write(const std::string& bytes) override {
        boost::system::error_code ec;
        asio::write(socket_, asio::buffer(bytes), ec);
        return !ec;
    }
    long read(unsigned char* buf, size_t n, int timeout_ms) override {
        pollfd p{socket_.native_handle(), POLLIN, 0};
        const int r = ::poll(&p, 1, timeout_ms);
        if (r == 0) return 0;
        if (r < 0) return errno == EINTR ? 0 : -1;
        boost::system::error_code ec;
        const size_t got = socket_.read_some(asio::buffer(buf, n), ec);
        return ec ? -1 : static_cast<long>(got);
    }
    std::string describe() const override { return spec_; }

   private:
    asio::io_context io_;
    tcp::acceptor acceptor_;
    tcp::socket socket_;
    std::string spec_;
};

}  // namespace

std::unique_ptr<Transport> open_file(const std::string& path) {
    if (path == "-") return std::make_unique<FileTransport>(stdout, "standard output", false);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    return std::make_unique<FileTransport>(f, path, true);
}

std::unique_ptr<Transport> open_port(const std::string& device) {
    std::string error;
    auto port = SerialPort::open(device, 9600, error);
    if (!port) throw std::runtime_error(error);
    return std::make_unique<PortTransport>(std::move(port));
}

std::unique_ptr<Transport> open_listener(const std::string& spec) {
    smd::HostPort hp;
    const std::string why = spec.rfind("tcp:", 0) == 0
                                ? smd::parse_host_port(spec.substr(4), hp, smd::PortZero::Allowed)
                                : std::string("is not tcp:HOST:PORT");
    if (!why.empty()) throw std::runtime_error("listen address \"" + spec + "\": " + why);
    const std::string& host = hp.host;
    const unsigned long port = hp.port;
    try {
        return std::make_unique<TcpTransport>(host, static_cast<unsigned short>(port), spec);
    } catch (const boost::system::system_error& e) {
        throw std::runtime_error("cannot listen on " + spec + ": " + e.what());
    }
}

}  // namespace powersim
