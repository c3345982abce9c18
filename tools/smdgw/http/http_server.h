#pragma once
// The HTTP transport: Boost.Beast on an Asio I/O context and thread of its
// own (never the line's), plain or TLS. It reads each request through the
// bounded RequestParser, applies the limits of http_limits.h and the checks
// every request must pass (request_checks.h), hands the request to the
// service's handler on a worker thread and writes the answer, or follows an
// event stream on the I/O thread. This is the only file that sees Asio
// sockets and Beast; it is slow to compile, so nothing else includes them.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/smdgw/http/event_hub.h"
#include "tools/smdgw/http/http_counters.h"
#include "tools/smdgw/http/http_limits.h"
#include "tools/smdgw/http/http_message.h"

namespace smdgw::http {

struct ServerOptions {
    std::string listen;  // "127.0.0.1:9418" as given, for messages
    std::string host;    // "127.0.0.1", "::1", "localhost", "0.0.0.0"
    int port = 0;        // 0: any free port
    std::string tls_cert, tls_key;  // PEM files; both empty: plain HTTP
    size_t max_connections = kDefaultMaxConnections;
    size_t max_per_client = kDefaultMaxPerClient;
    std::vector<std::string> host_names;  // names a Host header may give
    int stream_max_s = kDefaultStreamMaxS;  // an event stream ends after this
    int query_deadline_s = kQueryDeadlineS;  // a query is cancelled this long after it arrived
};

// Which workers answer a request: each kind has its own, so that no kind
// waits behind another.
enum class Lane {
    Answer,  // answered at once from the device board: the page, /healthz, /metrics, the API
    Query,   // reads the history: kQueriesAtOnce workers, kQueriesWaiting places, a deadline
    Line,    // waits for the line thread (control, acknowledgements)
};

// What the service wants of a request, decided from its header.
struct BodyPlan {
    size_t keep = 0;  // body bytes kept for the handler (the rest is read and dropped)
    Lane lane = Lane::Answer;
};

struct ServerHandlers {
    // I/O thread, after the header passed the checks; must not block.
    std::function<BodyPlan(const Request&)> plan;
    // A worker thread: fills the answer. An exception becomes a 500.
    std::function<void(const Request&, Response&)> handle;
    // I/O thread, after the checks; must not block: the request carries a
    // valid token (it may use a place held for token holders).
    std::function<bool(const Request&)> has_token;
};

class HttpServer {
   public:
    HttpServer(ServerOptions options, ServerHandlers handlers, EventHub& hub,
               HttpCounters& counters);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds the address alone (a second listener on it fails) and starts the
    // I/O thread; false with a message naming the address otherwise.
    bool start(std::string& error);
    // Closes every connection and joins the threads (a control request in
    // progress is waited for, at most its own timeout).
    void stop();
    int port() const;

    // The I/O context, the listener and the connections (http_server.cpp).
    struct Impl;

   private:
    std::unique_ptr<Impl> impl_;
};

// Loads the certificate chain and key as the server will; false with a
// message naming the file that is wrong.
bool check_tls_files(const std::string& cert, const std::string& key, std::string& error);

}  // namespace smdgw::http
