#include "tools/smdgw/http/http_server.h"

#include <strings.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/http/status.hpp>
#include <chrono>
#include <list>
#include <optional>
#include <thread>

#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/log_limiter.h"
#include "tools/smdgw/http/client_limits.h"
#include "tools/smdgw/http/request_checks.h"
#include "tools/smdgw/http/request_parser.h"
#include "tools/smdgw/http/security_headers.h"
#include "tools/smdgw/output/json_text.h"

namespace smdgw::http {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = boost::asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

// Workers for the handlers that answer at once (reads of the device board,
// /metrics, the page), and for those that wait for the line (control
// requests: at most this many wait at once, more get 503 from the queue);
// the history's queries have kQueriesAtOnce of their own.
constexpr int kWorkers = 2;
constexpr int kWaitingWorkers = 8;
constexpr size_t kReadChunk = 1024;
// Unparsed bytes held at most: a whole header block and one read after it.
constexpr size_t kMaxPending = kMaxHeaderBytes + kReadChunk;
// A comment line this often keeps proxies from closing a quiet event stream.
constexpr auto kStreamKeepAlive = std::chrono::seconds(15);
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

const char* const kJson = "application/json; charset=utf-8";

double monotonic_s() {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

std::string error_body(const std::string& message) {
    std::string out = "{\"error\":";
    json_string(out, message);
    out += "}\n";
    return out;
}

std::string reason_phrase(int status) {
    const auto text = boost::beast::http::obsolete_reason(static_cast<boost::beast::http::status>(status));
    return text.empty() ? "Unknown" : std::string(text.data(), text.size());
}

// The status line and header of an answer, security headers included.
std::string head_text(const Response& res, bool close, bool stream, unsigned version) {
    std::string h = "HTTP/1.1 " + std::to_string(res.status) + " " + reason_phrase(res.status) +
                    "\r\n";
    bool cache_control = false;
    for (const auto& [name, value] : res.headers) {
        h += name + ": " + value + "\r\n";
        if (strcasecmp(name.c_str(), "Cache-Control") == 0) cache_control = true;
    }
    for (const auto& [name, value] : security_headers()) h += name + ": " + value + "\r\n";
    if (!cache_control) h += "Cache-Control: no-store\r\n";
    if (!res.content_type.empty()) h += "Content-Type: " + res.content_type + "\r\n";
    if (stream) {
        if (version >= 11) h += "Transfer-Encoding: chunked\r\n";
    } else {
        h += "Content-Length: " + std::to_string(res.body.size()) + "\r\n";
    }
    if (close)
        h += "Connection: close\r\n";
    else if (version < 11)
        h += "Connection: keep-alive\r\n";
    h += "\r\n";
    return h;
}

std::string chunk(const std::string& data) {
    char size[24];
    std::snprintf(size, sizeof size, "%zx\r\n", data.size());
    return size + data + "\r\n";
}

}  // namespace

using Place = ConnectionCounts::Place;

// A connection as the listener sees it: to close it at stop, and to choose
// which one to close when every place is taken.
struct Connection {
    std::function<void()> close;
    Place place = Place::Ordinary;
    // Accepted then, or idle since then.
    Clock::time_point since = Clock::now();
    // No byte of a request yet: a new or kept-alive connection.
    bool idle = true;
    // In a token holder's place: its request showed the token.
    bool proven = false;
};

struct HttpServer::Impl {
    ServerOptions opt;
    ServerHandlers handlers;
    EventHub& hub;
    HttpCounters& refused;
    ConnectionCounts counts;
    LogLimiter refused_log{60.0};
    LogLimiter accept_log{60.0};
    std::optional<ssl::context> tls;
    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    asio::steady_timer accept_retry{io};
    std::thread thread;
    int port = 0;
    // Sessions alive (I/O thread only).
    std::list<Connection> connections;
    std::unique_ptr<asio::thread_pool> workers, waiting, queries;
    std::atomic<bool> stopping{false};

    Impl(ServerOptions o, ServerHandlers h, EventHub& e, HttpCounters& c)
        : opt(std::move(o)),
          handlers(std::move(h)),
          hub(e),
          refused(c),
          counts(opt.max_connections, opt.max_per_client, kHeldForLoopback, kHeldForToken) {}

    void accept();
    // Counts a new connection in the first place with room: an ordinary
    // one, else one held for 127.0.0.1 and ::1 (own) or for token holders;
    // a full place first closes its oldest idle connection (in the token
    // holders' places, also one whose request has not shown the token yet).
    ConnectionCounts::Admit admit(const std::string& address, bool own, Place& place);
    void on_accept(const error_code& ec, tcp::socket socket);
    void refuse(tcp::socket& socket, const std::string& why);
};

namespace {

// One connection: requests one after another (kept alive while the client
// wants), or an event stream after the first.
template <class Stream>
class Session : public std::enable_shared_from_this<Session<Stream>> {
   public:
    template <class... Args>
    Session(HttpServer::Impl& server, std::string address, int port, Place place,
            Args&&... args)
        : server_(server),
          stream_(std::forward<Args>(args)...),
          address_(std::move(address)),
          port_(port),
          place_(place),
          deadline_(server.io),
          keep_alive_timer_(server.io),
          lifetime_(server.io) {}

    ~Session() { release(); }

    void start() {
        auto self = this->shared_from_this();
        Connection c;
        c.close = [weak = std::weak_ptr<Session>(self)] {
            if (auto s = weak.lock()) s->close();
        };
        c.place = place_;
        server_.connections.push_front(std::move(c));
        connection_ = server_.connections.begin();
        if constexpr (std::is_same_v<Stream, tcp::socket>) {
            begin_request();
        } else {
            arm(std::chrono::seconds(kRequestDeadlineS));
            stream_.async_handshake(ssl::stream_base::server, [self](const error_code& ec) {
                if (ec) return self->close();
                self->begin_request();
            });
        }
    }

    void close() {
        if (closed_) return;
        closed_ = true;
        error_code ec;
        boost::beast::get_lowest_layer(stream_).close(ec);
        deadline_.cancel();
        keep_alive_timer_.cancel();
        lifetime_.cancel();
        release();
    }

   private:
    // The slot and the event stream are given back as soon as the client is
    // gone, not when the last handler lets go of the session.
    void release() {
        if (released_) return;
        released_ = true;
        if (events_) server_.hub.close(events_);
        server_.counts.release(address_, place_);
        if (!server_.stopping) server_.connections.erase(connection_);
    }

    // Whether the connection waits for a request of which no byte came yet:
    // such a connection is the first closed for a newcomer.
    void set_idle(bool idle) {
        if (released_ || server_.stopping) return;
        if (idle && !connection_->idle) connection_->since = Clock::now();
        connection_->idle = idle;
    }

    // The connection closes when the deadline passes (a re-armed deadline
    // makes the earlier wait end as aborted).
    template <class Duration>
    void arm(Duration d) {
        deadline_.expires_after(d);
        deadline_.async_wait([self = this->shared_from_this()](const error_code& ec) {
            if (ec || self->closed_ || self->deadline_.expiry() > Clock::now()) return;
            // A client that only waits after its answer is not refused.
            if (self->started_ || self->writing_) self->server_.refused.count(Refused::Deadline);
            self->close();
        });
    }
    void disarm() { deadline_.cancel(); }

    void begin_request() {
        parser_ = std::make_unique<RequestParser>();
        planned_ = false;
        if (pending_.empty()) pending_.shrink_to_fit();
        started_ = !pending_.empty();
        set_idle(!started_);
        arm(std::chrono::seconds(started_ ? kRequestDeadlineS : kIdleKeepAliveS));
        if (pending_.empty())
            read();
        else
            parse();
    }

    void read() {
        stream_.async_read_some(asio::buffer(chunk_),
                                [self = this->shared_from_this()](const error_code& ec, size_t n) {
                                    self->on_read(ec, n);
                                });
    }

    void on_read(const error_code& ec, size_t n) {
        if (ec || closed_) return close();
        if (!started_) {
            // The first byte of a request: from now on the whole request
            // has kRequestDeadlineS.
            started_ = true;
            set_idle(false);
            arm(std::chrono::seconds(kRequestDeadlineS));
        }
        // Grown a read at a time, not doubled, so that a connection holding
        // a header block near its limit holds little more than the block.
        if (pending_.capacity() < pending_.size() + n)
            pending_.reserve(std::min(kMaxPending, pending_.size() + kReadChunk));
        pending_.append(chunk_.data(), n);
        parse();
    }

    void parse() {
        const size_t used = parser_->feed(pending_.data(), pending_.size());
        pending_.erase(0, used);
        switch (parser_->state()) {
            case RequestParser::State::NeedMore:
                if (pending_.size() >= kMaxPending)
                    return refuse(431, "header larger than " + std::to_string(kMaxHeaderBytes) +
                                           " bytes");
                return read();
            case RequestParser::State::HeaderDone:
                if (!plan()) return;
                if (parser_->expects_continue()) return send_continue();
                return parse();
            case RequestParser::State::Done:
                if (!planned_ && !plan()) return;
                return dispatch();
            case RequestParser::State::Failed:
                return refuse(parser_->status(), parser_->error());
        }
    }

    // The checks every request passes, then the service's plan for its body.
    bool plan() {
        planned_ = true;
        Request& req = parser_->request();
        req.remote_addr = address_;
        req.remote_port = port_;
        const Refusal refusal = check_request(req, server_.opt.host_names);
        if (refusal.status != 0) {
            refuse(refusal.status, refusal.error);
            return false;
        }
        if (place_ == Place::Token && !connection_->proven) {
            if (!server_.handlers.has_token || !server_.handlers.has_token(req)) {
                refuse(503, "too many connections (at most " +
                                std::to_string(server_.opt.max_connections) +
                                "); the places left are held for requests with a token");
                return false;
            }
            connection_->proven = true;
        }
        plan_ = server_.handlers.plan ? server_.handlers.plan(req) : BodyPlan{};
        parser_->keep_body(plan_.keep);
        return true;
    }

    void send_continue() {
        static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
        asio::async_write(stream_, asio::buffer(kContinue),
                          [self = this->shared_from_this()](const error_code& ec, size_t) {
                              if (ec) return self->close();
                              self->parse();
                          });
    }

    void dispatch() {
        disarm();
        keep_ = parser_->keep_alive();
        head_ = parser_->request().method == "HEAD";
        version_ = parser_->request().version;
        auto request = std::make_shared<Request>(std::move(parser_->request()));
        parser_.reset();
        asio::thread_pool* pool = server_.workers.get();
        const bool query = plan_.lane == Lane::Query;
        if (plan_.lane == Lane::Line) pool = server_.waiting.get();
        if (query) {
            // A query waits for its turn in a bounded line, and its
            // deadline runs from now: no query costs more than that.
            if (!server_.refused.queries.admit(kQueriesAtOnce + kQueriesWaiting))
                return too_many_queries();
            request->deadline = Clock::now() + std::chrono::seconds(server_.opt.query_deadline_s);
            pool = server_.queries.get();
        }
        asio::post(*pool, [self = this->shared_from_this(), request, query] {
            QueryLoad& load = self->server_.refused.queries;
            if (query) load.run();
            auto res = std::make_shared<Response>();
            try {
                self->server_.handlers.handle(*request, *res);
            } catch (const std::exception& e) {
                *res = Response{};
                res->status = 500;
                res->set_content(error_body(e.what()), kJson);
            }
            if (query) load.done();
            asio::post(self->server_.io, [self, res] { self->answer(*res); });
        });
    }

    void too_many_queries() {
        server_.refused.count(Refused::TooManyQueries);
        Response res;
        res.status = 503;
        res.set_header("Retry-After", "5");
        res.set_content(error_body("too many history queries at once (at most " +
                                   std::to_string(kQueriesAtOnce) + " running, " +
                                   std::to_string(kQueriesWaiting) +
                                   " waiting); try again later"),
                        kJson);
        answer(res);
    }

    void answer(Response& res) {
        if (closed_) {
            if (res.stream) server_.hub.close(res.stream);
            return;
        }
        if (res.stream && head_) {
            // HEAD of the event stream: its header, no stream.
            server_.hub.close(res.stream);
            res.stream = nullptr;
            keep_ = false;
        }
        if (res.stream) return start_events(res);
        // A held place serves one request, then is free for the next.
        if (server_.stopping || place_ != Place::Ordinary) keep_ = false;
        out_ = head_text(res, !keep_, false, version_);
        if (!head_) out_ += res.body;
        write(false);
    }

    // A refusal before any handler: the answer, then the connection closes;
    // after 413 and 431 the rest of the request is read and dropped for a
    // while first, so that the client gets to read the answer.
    void refuse(int status, const std::string& why) {
        server_.refused.count_status(status);
        Response res;
        res.status = status;
        res.set_content(error_body(why), kJson);
        out_ = head_text(res, true, false, 11) + res.body;
        keep_ = false;
        write(status == 413 || status == 431);
    }

    void write(bool linger) {
        arm(std::chrono::seconds(kWriteTimeoutS));
        asio::async_write(stream_, asio::buffer(out_),
                          [self = this->shared_from_this(), linger](const error_code& ec, size_t) {
                              if (ec) return self->close();
                              self->out_.clear();
                              if (linger) return self->linger();
                              if (!self->keep_) return self->close();
                              self->begin_request();
                          });
    }

    void linger() {
        started_ = false;
        if constexpr (std::is_same_v<Stream, tcp::socket>) {
            error_code ec;
            stream_.shutdown(tcp::socket::shutdown_send, ec);
        }
        pending_.clear();
        lingered_ = 0;
        arm(std::chrono::seconds(kLingerS));
        drop_input();
    }

    void drop_input() {
        stream_.async_read_some(asio::buffer(chunk_),
                                [self = this->shared_from_this()](const error_code& ec, size_t n) {
                                    self->lingered_ += n;
                                    if (ec || self->lingered_ >= kLingerBytes) return self->close();
                                    self->drop_input();
                                });
    }

    // Server-Sent Events: the header, then whatever the hub has for this
    // stream; reading goes on only to notice at once that the client left.
    void start_events(Response& res) {
        events_ = res.stream;
        chunked_ = version_ >= 11;
        out_ = head_text(res, !chunked_, true, version_);
        const std::string hello = ": smdgw events\nretry: 2000\n\n";
        out_ += chunked_ ? chunk(hello) : hello;
        writing_ = true;
        arm(std::chrono::seconds(kWriteTimeoutS));
        auto self = this->shared_from_this();
        asio::async_write(stream_, asio::buffer(out_), [self](const error_code& ec, size_t) {
            if (ec) return self->close();
            self->written();
        });
        std::weak_ptr<Session> weak = self;
        asio::io_context& io = server_.io;
        server_.hub.watch(events_, [weak, &io] {
            asio::post(io, [weak] {
                if (auto s = weak.lock()) s->flush();
            });
        });
        watch_client();
        keep_stream_alive();
        // However quiet it is, a stream ends in time: none holds its place
        // for good.
        lifetime_.expires_after(std::chrono::seconds(server_.opt.stream_max_s));
        lifetime_.async_wait([self = this->shared_from_this()](const error_code& ec) {
            if (ec || self->closed_) return;
            self->ending_ = true;
            self->flush();
        });
    }

    // The last chunk, then the connection closes: the client sees the
    // stream end rather than break.
    void end_stream() {
        events_done_ = true;
        out_ = chunked_ ? "0\r\n\r\n" : "";
        writing_ = true;
        arm(std::chrono::seconds(kWriteTimeoutS));
        asio::async_write(stream_, asio::buffer(out_),
                          [self = this->shared_from_this()](const error_code&, size_t) {
                              self->close();
                          });
    }

    void watch_client() {
        stream_.async_read_some(asio::buffer(chunk_),
                                [self = this->shared_from_this()](const error_code& ec, size_t) {
                                    if (ec) return self->close();
                                    self->watch_client();
                                });
    }

    void keep_stream_alive() {
        keep_alive_timer_.expires_after(kStreamKeepAlive);
        keep_alive_timer_.async_wait([self = this->shared_from_this()](const error_code& ec) {
            if (ec || self->closed_) return;
            self->comment_due_ = true;
            self->flush();
            self->keep_stream_alive();
        });
    }

    void written() {
        writing_ = false;
        out_.clear();
        deadline_.expires_at(Clock::time_point::max());
        flush();
    }

    void flush() {
        if (closed_ || writing_ || !events_ || events_done_) return;
        if (ending_) return end_stream();
        std::vector<std::string> batch;
        switch (server_.hub.take(events_, batch)) {
            case EventHub::Wait::Closed:
            case EventHub::Wait::Dropped:
                return close();
            case EventHub::Wait::Idle:
                if (!comment_due_) return;
                batch.push_back(": keep-alive\n\n");
                break;
            case EventHub::Wait::Events:
                break;
        }
        comment_due_ = false;
        std::string text;
        for (const std::string& m : batch) text += m;
        out_ = chunked_ ? chunk(text) : text;
        writing_ = true;
        arm(std::chrono::seconds(kWriteTimeoutS));
        asio::async_write(stream_, asio::buffer(out_),
                          [self = this->shared_from_this()](const error_code& ec, size_t) {
                              if (ec) return self->close();
                              self->written();
                          });
    }

    HttpServer::Impl& server_;
    Stream stream_;
    std::string address_;
    int port_;
    Place place_;
    asio::steady_timer deadline_;
    asio::steady_timer keep_alive_timer_;
    asio::steady_timer lifetime_;  // of an event stream
    std::list<Connection>::iterator connection_;
    std::array<char, kReadChunk> chunk_{};
    std::string pending_;
    std::unique_ptr<RequestParser> parser_;
    BodyPlan plan_;
    bool planned_ = false;
    bool started_ = false;
    bool keep_ = false;
    bool head_ = false;
    unsigned version_ = 11;
    std::string out_;
    size_t lingered_ = 0;
    std::shared_ptr<EventHub::Stream> events_;
    bool chunked_ = true;
    bool writing_ = false;
    bool comment_due_ = false;
    bool ending_ = false;       // the stream's time is up: end it after this write
    bool events_done_ = false;  // its last chunk is on its way
    bool closed_ = false;
    bool released_ = false;
};

}  // namespace

void HttpServer::Impl::accept() {
    acceptor.async_accept(io, [this](const error_code& ec, tcp::socket socket) {
        on_accept(ec, std::move(socket));
    });
}

void HttpServer::Impl::refuse(tcp::socket& socket, const std::string& why) {
    if (auto held = refused_log.allow(monotonic_s()))
        log_warning("http: " + why + LogLimiter::held_note(*held));
    if (!tls) {
        // One attempt without waiting: the client learns why, the server
        // holds nothing for it.
        Response res;
        res.status = 503;
        res.set_header("Retry-After", "5");
        res.set_content(error_body(why + "; try again later"), kJson);
        const std::string text = head_text(res, true, false, 11) + res.body;
        (void)::send(socket.native_handle(), text.data(), text.size(),
                     MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
}

ConnectionCounts::Admit HttpServer::Impl::admit(const std::string& address, bool own,
                                                Place& place) {
    for (const Place p : {Place::Ordinary, own ? Place::Loopback : Place::Token}) {
        auto admitted = counts.admit(address, p);
        if (admitted == ConnectionCounts::Admit::Full) {
            auto oldest = connections.end();
            for (auto c = connections.begin(); c != connections.end(); ++c) {
                const bool may_go = c->idle || (p == Place::Token && !c->proven);
                if (c->place == p && may_go && (oldest == connections.end() || c->since < oldest->since))
                    oldest = c;
            }
            if (oldest != connections.end()) {
                // Closing it takes it off the list and gives its place back.
                const auto close = oldest->close;
                close();
                refused.count(Refused::ClosedForNewcomer);
                admitted = counts.admit(address, p);
            }
        }
        if (admitted != ConnectionCounts::Admit::Full) {
            place = p;
            return admitted;
        }
    }
    return ConnectionCounts::Admit::Full;
}

void HttpServer::Impl::on_accept(const error_code& ec, tcp::socket socket) {
    if (!acceptor.is_open() || stopping) return;
    if (ec) {
        // Out of descriptors, most likely: wait a little instead of spinning.
        if (auto held = accept_log.allow(monotonic_s()))
            log_warning("http: cannot accept a connection: " + ec.message() +
                        LogLimiter::held_note(*held));
        accept_retry.expires_after(kAcceptRetry);
        accept_retry.async_wait([this](const error_code& e) {
            if (!e) accept();
        });
        return;
    }
    error_code e;
    const tcp::endpoint peer = socket.remote_endpoint(e);
    if (e) {
        accept();
        return;
    }
    const std::string address = peer.address().to_string();
    Place place = Place::Ordinary;
    switch (admit(address, is_own_loopback(address), place)) {
        case ConnectionCounts::Admit::Full:
            refused.count(Refused::TooManyConnections);
            refuse(socket, "too many connections (at most " +
                               std::to_string(opt.max_connections) + "); refusing " + address);
            break;
        case ConnectionCounts::Admit::TooManyFromClient:
            refused.count(Refused::TooManyFromClient);
            refuse(socket, "too many connections from " + address + " (at most " +
                               std::to_string(opt.max_per_client) + ")");
            break;
        case ConnectionCounts::Admit::Yes:
            socket.set_option(tcp::no_delay(true), e);
            if (tls)
                std::make_shared<Session<ssl::stream<tcp::socket>>>(
                    *this, address, peer.port(), place, std::move(socket), *tls)
                    ->start();
            else
                std::make_shared<Session<tcp::socket>>(*this, address, peer.port(), place,
                                                       std::move(socket))
                    ->start();
            break;
    }
    accept();
}

namespace {

bool make_tls_context(const std::string& cert, const std::string& key,
                      std::optional<ssl::context>& out, std::string& error) {
    out.emplace(ssl::context::tls_server);
    out->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                     ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                     ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
    error_code ec;
    out->use_certificate_chain_file(cert, ec);
    if (ec) {
        error = "--http-tls-cert " + cert + ": cannot load the certificate (" + ec.message() + ")";
        return false;
    }
    out->use_private_key_file(key, ssl::context::pem, ec);
    if (ec) {
        error = "--http-tls-key " + key + ": cannot load the private key (" + ec.message() + ")";
        return false;
    }
    if (SSL_CTX_check_private_key(out->native_handle()) != 1) {
        error = "--http-tls-key " + key + ": the key does not match the certificate " + cert;
        return false;
    }
    return true;
}

}  // namespace

bool check_tls_files(const std::string& cert, const std::string& key, std::string& error) {
    std::optional<ssl::context> ctx;
    return make_tls_context(cert, key, ctx, error);
}

HttpServer::HttpServer(ServerOptions options, ServerHandlers handlers, EventHub& hub,
                       HttpCounters& counters)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(handlers), hub, counters)) {}

HttpServer::~HttpServer() { stop(); }

int HttpServer::port() const { return impl_->port; }

bool HttpServer::start(std::string& error) {
    Impl& s = *impl_;
    if (!s.opt.tls_cert.empty() && !make_tls_context(s.opt.tls_cert, s.opt.tls_key, s.tls, error))
        return false;
    error_code ec;
    tcp::endpoint endpoint;
    const auto address = asio::ip::make_address(s.opt.host, ec);
    if (!ec) {
        endpoint = tcp::endpoint(address, static_cast<unsigned short>(s.opt.port));
    } else {
        tcp::resolver resolver(s.io);
        const auto found = resolver.resolve(s.opt.host, std::to_string(s.opt.port), ec);
        if (ec || found.empty()) {
            error = "--http " + s.opt.listen + ": cannot resolve " + s.opt.host;
            return false;
        }
        endpoint = found.begin()->endpoint();
    }
    // SO_REUSEADDR lets a restarted gateway bind while old connections of its
    // predecessor linger, but never beside a live listener; SO_REUSEPORT,
    // which would let two gateways share the port, is never set.
    s.acceptor.open(endpoint.protocol(), ec);
    if (!ec) s.acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) s.acceptor.bind(endpoint, ec);
    if (ec == asio::error::address_in_use) {
        error = "--http " + s.opt.listen +
                ": the address is in use (is another smdgw, or another program, serving there?)";
        return false;
    }
    if (!ec) s.acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "--http " + s.opt.listen + ": cannot listen (" + ec.message() + ")";
        return false;
    }
    s.port = s.acceptor.local_endpoint(ec).port();
    s.workers = std::make_unique<asio::thread_pool>(kWorkers);
    s.waiting = std::make_unique<asio::thread_pool>(kWaitingWorkers);
    s.queries = std::make_unique<asio::thread_pool>(kQueriesAtOnce);
    s.accept();
    s.thread = std::thread([&s] { s.io.run(); });
    return true;
}

void HttpServer::stop() {
    Impl& s = *impl_;
    if (!s.thread.joinable()) return;
    // Stop accepting and close every connection on the I/O thread, then let
    // the handlers in progress end (their answers find closed connections).
    asio::post(s.io, [&s] {
        error_code ignored;
        s.acceptor.close(ignored);
        s.accept_retry.cancel();
        s.stopping = true;
        for (auto& c : s.connections) c.close();
        s.connections.clear();
    });
    s.workers->join();
    s.waiting->join();
    s.queries->join();
    s.io.stop();
    s.thread.join();
}

}  // namespace smdgw::http
