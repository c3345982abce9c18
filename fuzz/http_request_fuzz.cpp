// Raw bytes from a client, as the HTTP transport reads them: the bounded
// request parser fed in pieces (the first byte picks their size and how much
// body the service keeps), the checks every request passes, then the router.
// Whatever the bytes, the parser stays within its limits, refuses with one of
// its statuses and a reason, never keeps more body than it was allowed, and
// a request that passes the checks carries a Host the gateway answers to
// and a UTF-8 target.

#include <string>

#include "tools/smdgw/core/utf8_text.h"
#include "tools/smdgw/http/http_limits.h"
#include "tools/smdgw/http/request_checks.h"
#include "tools/smdgw/http/request_parser.h"
#include "tools/smdgw/http/router.h"

using namespace smdgw::http;

namespace {

void check_routed(const Request& req) {
    const Refusal refusal = check_request(req, {"gw1.site"});
    if (refusal.status != 0) {
        if ((refusal.status != 400 && refusal.status != 421) || refusal.error.empty())
            __builtin_trap();
        return;
    }
    if (!smdgw::is_utf8(req.target)) __builtin_trap();
    const Route r = route(req.method, req.path);
    if (r.status != 0 && (r.status < 400 || r.status > 499 || r.error.empty())) __builtin_trap();
    if (!smdgw::is_utf8(r.device) || !smdgw::is_utf8(r.key)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t step = 1 + (data[0] & 0x3f) * 97;
    const size_t keep = (data[0] & 0x40) ? kMaxBodyBytes : (data[0] & 0x80) ? kRefusedBodyKeptBytes : 0;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

    RequestParser p;
    std::string pending;
    size_t sent = 0;
    bool checked = false;
    for (;;) {
        const size_t used = p.feed(pending.data(), pending.size());
        if (used > pending.size()) __builtin_trap();
        pending.erase(0, used);
        if (p.state() == RequestParser::State::HeaderDone) {
            check_routed(p.request());
            checked = true;
            p.keep_body(keep);
            continue;
        }
        if (p.state() != RequestParser::State::NeedMore || sent == bytes.size()) break;
        // The transport never holds more than a header block and a read.
        if (pending.size() > kMaxHeaderBytes + 1024) break;
        const size_t n = std::min(step, bytes.size() - sent);
        pending.append(bytes, sent, n);
        sent += n;
    }
    const Request& req = p.request();
    switch (p.state()) {
        case RequestParser::State::Failed: {
            const int s = p.status();
            if ((s != 400 && s != 413 && s != 414 && s != 431 && s != 505) || p.error().empty())
                __builtin_trap();
            break;
        }
        case RequestParser::State::Done:
            if (!checked) check_routed(req);
            if (req.body.size() > keep || req.body.size() > kMaxBodyBytes) __builtin_trap();
            if (req.headers.size() > kMaxHeaderFields) __builtin_trap();
            if (req.method.size() + req.target.size() > kMaxRequestLineBytes) __builtin_trap();
            break;
        default:
            break;
    }
    return 0;
}
