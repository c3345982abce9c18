#pragma once
// Every bound the HTTP service puts on a client, in one table: the transport
// enforces them, the attack test drives each one to its edge and docs/http.md
// lists them from here (tests/http_limits_doc_test.cpp keeps the two equal).

#include <cstddef>

namespace smdgw::http {

constexpr size_t kMaxHeaderBytes = 16 * 1024;     // request line and header fields
constexpr size_t kMaxRequestLineBytes = 8 * 1024;  // "GET /path?query HTTP/1.1"
constexpr size_t kMaxHeaderFields = 100;
constexpr size_t kMaxBodyBytes = 64 * 1024;  // whatever the transfer coding
constexpr size_t kMaxChunkExtensionBytes = 256;
constexpr int kRequestDeadlineS = 10;  // from the request's first byte to its last
constexpr int kIdleKeepAliveS = 5;     // a kept-alive connection waiting for its next request
constexpr int kWriteTimeoutS = 5;      // each answer, or each piece of an event stream
constexpr size_t kDefaultMaxConnections = 256;
constexpr size_t kDefaultMaxPerClient = 16;
// Beyond the connections in all, places held for 127.0.0.1 and ::1 (health
// checks), and for requests with a valid token (a request there without one
// gets 503). A full table first closes its oldest idle connection.
constexpr size_t kHeldForLoopback = 4;
constexpr size_t kHeldForToken = 4;
// Event streams from one client address, and how long one lives (a browser's
// EventSource reconnects by itself).
constexpr size_t kStreamsPerClient = 2;
constexpr int kDefaultStreamMaxS = 3600;
// Control and acknowledgement requests without a valid token a client
// address may make a minute before 429 (a request with the token is never
// refused for them).
constexpr unsigned kRefusalsPerMinute = 10;
// History, alarm-log and roll-up queries: this many run at once and this
// many more wait their turn (beyond, 503); one still unanswered
// kQueryDeadlineS after it arrived is cancelled (503). The other routes
// have workers of their own and never wait behind them.
constexpr size_t kQueriesAtOnce = 2;
constexpr size_t kQueriesWaiting = 8;
constexpr int kQueryDeadlineS = 5;
// After a 413 or 431, what is read and dropped so that the client sees the
// answer before the connection closes.
constexpr size_t kLingerBytes = 256 * 1024;
constexpr int kLingerS = 2;
// Of a control body that will be refused anyway, what is kept for the log's
// "code".
constexpr size_t kRefusedBodyKeptBytes = 4096;

// One row of the table in docs/http.md.
struct HttpLimit {
    const char* what;
    size_t value;
    const char* unit;
    const char* beyond;  // what the client gets beyond it
    const char* option;  // "" when fixed
};

// "header block | 16384 | bytes | 431, then the connection closes | "
inline constexpr HttpLimit kHttpLimits[] = {
    {"request line", kMaxRequestLineBytes, "bytes", "414", ""},
    {"header block (request line and fields)", kMaxHeaderBytes, "bytes", "431", ""},
    {"header fields", kMaxHeaderFields, "fields", "431", ""},
    {"body, with a length or chunked", kMaxBodyBytes, "bytes", "413, as soon as it is announced or its chunks pass it", ""},
    {"chunk extension", kMaxChunkExtensionBytes, "bytes", "400", ""},
    {"whole request, from its first byte", kRequestDeadlineS, "s", "the connection closes", ""},
    {"idle kept-alive connection", kIdleKeepAliveS, "s", "the connection closes", ""},
    {"writing an answer or a piece of an event stream", kWriteTimeoutS, "s", "the connection closes", ""},
    {"connections in all", kDefaultMaxConnections, "connections", "the oldest idle one closes for the newcomer; none idle: a held place (below), else 503", "--http-max-connections"},
    {"connections from one client address", kDefaultMaxPerClient, "connections", "503, then closed", "--http-max-per-client"},
    {"connections beyond those, held for 127.0.0.1 and ::1", kHeldForLoopback, "connections", "503, then closed", ""},
    {"connections beyond those, held for requests with a valid token", kHeldForToken, "connections", "503 for a request without one, then closed", ""},
    {"control and acknowledgement requests without a valid token, from one client address", kRefusalsPerMinute, "a minute", "429 (never for a request with the token)", ""},
    {"event streams from one client address", kStreamsPerClient, "streams", "503", ""},
    {"an event stream", kDefaultStreamMaxS, "s", "the stream ends (EventSource reconnects)", "--http-stream-max-s"},
    {"history, alarm-log and roll-up queries running at once", kQueriesAtOnce, "queries", "wait their turn", ""},
    {"queries waiting their turn", kQueriesWaiting, "queries", "503 with `Retry-After`", ""},
    {"a query, from its arrival", kQueryDeadlineS, "s", "cancelled: 503 with `Retry-After`", "--http-query-deadline-s N"},
};

}  // namespace smdgw::http
