#include "tools/smdgw/http/request_parser.h"

#include <strings.h>

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>

#include "tools/smdgw/http/http_limits.h"

namespace smdgw::http {

namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using boost::beast::string_view;
using boost::system::error_code;

struct RequestParser::Impl final : bhttp::basic_parser<true> {
    explicit Impl(RequestParser& p) : owner(p) {
        header_limit(static_cast<std::uint32_t>(kMaxHeaderBytes));
        body_limit(kMaxBodyBytes);
        // Stop after the header; the owner decides on the body first.
        eager(false);
    }

    // Our own refusals, set before an error code is raised.
    void refuse(int status, std::string why, error_code& ec) {
        owner.status_ = status;
        owner.error_ = std::move(why);
        ec = bhttp::error::bad_value;
    }

    // Beast refuses versions other than 1.0 and 1.1 itself (bad_version).
    void on_request_impl(bhttp::verb, string_view method, string_view target, int version,
                         error_code& ec) override {
        if (method.size() + target.size() + 10 > kMaxRequestLineBytes)
            return refuse(414, "request line longer than " +
                                   std::to_string(kMaxRequestLineBytes) + " bytes",
                          ec);
        Request& r = owner.request_;
        r.method.assign(method.data(), method.size());
        r.target.assign(target.data(), target.size());
        const size_t q = r.target.find('?');
        r.path = r.target.substr(0, q);
        r.query = q == std::string::npos ? std::string() : r.target.substr(q + 1);
        r.version = static_cast<unsigned>(version);
    }
    void on_response_impl(int, string_view, int, error_code& ec) override {
        ec = bhttp::error::bad_method;
    }
    void on_field_impl(bhttp::field, string_view name, string_view value,
                       error_code& ec) override {
        if (++owner.fields_ > kMaxHeaderFields)
            return refuse(431, "more than " + std::to_string(kMaxHeaderFields) + " header fields",
                          ec);
        owner.request_.headers.emplace_back(std::string(name.data(), name.size()),
                                            std::string(value.data(), value.size()));
    }
    void on_header_impl(error_code&) override {}
    void on_body_init_impl(const boost::optional<std::uint64_t>&, error_code&) override {}
    std::size_t on_body_impl(string_view body, error_code&) override {
        keep(body);
        return body.size();
    }
    void on_chunk_header_impl(std::uint64_t, string_view extensions, error_code& ec) override {
        if (extensions.size() > kMaxChunkExtensionBytes)
            refuse(400, "chunk extension longer than " + std::to_string(kMaxChunkExtensionBytes) +
                            " bytes",
                   ec);
    }
    std::size_t on_chunk_body_impl(std::uint64_t, string_view body, error_code&) override {
        keep(body);
        return body.size();
    }
    void on_finish_impl(error_code&) override {}

    void keep(string_view body) {
        Request& r = owner.request_;
        const size_t room = owner.keep_ > r.body.size() ? owner.keep_ - r.body.size() : 0;
        if (body.size() > room) r.body_cut = true;
        r.body.append(body.data(), std::min(room, body.size()));
    }

    RequestParser& owner;
};

RequestParser::RequestParser() : impl_(std::make_unique<Impl>(*this)) {}
RequestParser::~RequestParser() = default;

size_t RequestParser::feed(const char* data, size_t n) {
    size_t used = 0;
    while (state_ == State::NeedMore && used < n) {
        error_code ec;
        const size_t k = impl_->put(boost::asio::buffer(data + used, n - used), ec);
        used += k;
        if (ec == bhttp::error::need_more) break;
        if (ec) {
            state_ = State::Failed;
            if (status_ == 0) {
                if (ec == bhttp::error::header_limit) {
                    status_ = 431;
                    error_ = "header larger than " + std::to_string(kMaxHeaderBytes) + " bytes";
                } else if (ec == bhttp::error::bad_version) {
                    status_ = 505;
                    error_ = "only HTTP/1.0 and HTTP/1.1 are served";
                } else if (ec == bhttp::error::body_limit) {
                    status_ = 413;
                    error_ = "body larger than " + std::to_string(kMaxBodyBytes) + " bytes";
                } else {
                    status_ = 400;
                    error_ = "malformed request (" + ec.message() + ")";
                }
            }
            break;
        }
        if (impl_->is_done())
            state_ = State::Done;
        else if (impl_->is_header_done() && !impl_->eager())
            state_ = State::HeaderDone;
        if (k == 0) break;
    }
    return used;
}

void RequestParser::keep_body(size_t bytes) {
    if (state_ != State::HeaderDone) return;
    keep_ = std::min(bytes, kMaxBodyBytes);
    impl_->eager(true);
    state_ = impl_->is_done() ? State::Done : State::NeedMore;
}

bool RequestParser::keep_alive() const { return impl_->keep_alive(); }

bool RequestParser::has_body() const {
    return impl_->chunked() || impl_->content_length().value_or(0) > 0;
}

bool RequestParser::expects_continue() const {
    return has_body() &&
           strcasecmp(request_.get_header_value("Expect").c_str(), "100-continue") == 0;
}

}  // namespace smdgw::http
