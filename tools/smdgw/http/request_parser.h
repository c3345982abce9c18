#pragma once
// The one reader of a client's bytes: an HTTP/1 request parser (Beast's,
// bounded by http_limits.h) that fills a Request. Bytes are fed as they
// arrive; it stops after the header so that the service can say how much of
// the body it wants kept, then reads the body, chunked or not, counting every
// byte against the limit whether it is kept or dropped.
//
//   RequestParser p;
//   size_t used = p.feed(data, n);      // again with the rest and more bytes
//   if (p.state() == RequestParser::State::HeaderDone) p.keep_body(4096);
//   if (p.state() == RequestParser::State::Failed) answer p.status(), p.error();

#include <cstddef>
#include <memory>
#include <string>

#include "tools/smdgw/http/http_message.h"

namespace smdgw::http {

class RequestParser {
   public:
    enum class State {
        NeedMore,    // feed more bytes
        HeaderDone,  // the header is in request(); call keep_body() to go on
        Done,        // the whole request is in request()
        Failed,      // answer status() with error(), then close
    };

    RequestParser();
    ~RequestParser();
    RequestParser(const RequestParser&) = delete;
    RequestParser& operator=(const RequestParser&) = delete;

    // Parses what it can of data[0, n) and returns how many bytes it used;
    // the rest must be fed again, with more after it.
    size_t feed(const char* data, size_t n);
    State state() const { return state_; }
    // With Failed: 400, 413, 414, 431 or 505, and the reason.
    int status() const { return status_; }
    const std::string& error() const { return error_; }

    // After HeaderDone: the body's bytes beyond `bytes` are counted but not
    // kept (request().body_cut tells).
    void keep_body(size_t bytes);

    Request& request() { return request_; }
    // The client asked to keep the connection (HTTP/1.1 without "close").
    bool keep_alive() const;
    // "Expect: 100-continue" and a body is to come.
    bool expects_continue() const;
    // Whether a body is to come after the header.
    bool has_body() const;

   private:
    struct Impl;
    friend struct Impl;
    std::unique_ptr<Impl> impl_;
    Request request_;
    State state_ = State::NeedMore;
    int status_ = 0;
    std::string error_;
    size_t keep_ = 0;
    size_t fields_ = 0;
};

}  // namespace smdgw::http
