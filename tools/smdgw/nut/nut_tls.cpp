#include "tools/smdgw/nut/nut_tls.h"

#include <openssl/err.h>

#include <climits>

namespace smdgw::nut {

namespace {

std::string ssl_error_text() {
    const unsigned long e = ERR_get_error();
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    ERR_clear_error();
    return e ? buf : "unknown error";
}

}  // namespace

TlsContext nut_tls_context(const std::string& cert, const std::string& key, std::string& error) {
    TlsContext ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!ctx) {
        error = "--nut-tls-cert: " + ssl_error_text();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), cert.c_str()) != 1) {
        error = "--nut-tls-cert " + cert + ": cannot load the certificate (" + ssl_error_text() + ")";
        return nullptr;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx.get(), key.c_str(), SSL_FILETYPE_PEM) != 1) {
        error = "--nut-tls-key " + key + ": cannot load the private key (" + ssl_error_text() + ")";
        return nullptr;
    }
    if (SSL_CTX_check_private_key(ctx.get()) != 1) {
        ERR_clear_error();
        error = "--nut-tls-key " + key + ": the key does not match the certificate " + cert;
        return nullptr;
    }
    return ctx;
}

TlsLink::TlsLink(const TlsContext& ctx, int fd) {
    ssl_ = SSL_new(ctx.get());
    if (ssl_ && SSL_set_fd(ssl_, fd) != 1) {
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
    if (ssl_) SSL_set_accept_state(ssl_);
    ERR_clear_error();
}

TlsLink::~TlsLink() {
    if (!ssl_) return;
    // A courtesy only: the socket closes whatever the peer does.
    SSL_shutdown(ssl_);
    SSL_free(ssl_);
    ERR_clear_error();
}

TlsLink::Io TlsLink::result(int ret) {
    const int e = SSL_get_error(ssl_, ret);
    ERR_clear_error();
    switch (e) {
        case SSL_ERROR_NONE:
            return Io::Done;
        case SSL_ERROR_WANT_READ:
            return Io::WantRead;
        case SSL_ERROR_WANT_WRITE:
            return Io::WantWrite;
        case SSL_ERROR_ZERO_RETURN:
            return Io::Closed;
        default:
            return Io::Failed;
    }
}

TlsLink::Io TlsLink::handshake() {
    if (!ssl_) return Io::Failed;
    const int r = SSL_do_handshake(ssl_);
    return r == 1 ? Io::Done : result(r);
}

TlsLink::Io TlsLink::read(char* buf, size_t cap, size_t& got) {
    got = 0;
    if (!ssl_) return Io::Failed;
    const int r = SSL_read(ssl_, buf, static_cast<int>(cap < INT_MAX ? cap : INT_MAX));
    if (r > 0) {
        got = static_cast<size_t>(r);
        return Io::Done;
    }
    return result(r);
}

TlsLink::Io TlsLink::write(const char* data, size_t n, size_t& sent) {
    sent = 0;
    if (!ssl_) return Io::Failed;
    const int r = SSL_write(ssl_, data, static_cast<int>(n < INT_MAX ? n : INT_MAX));
    if (r > 0) {
        sent = static_cast<size_t>(r);
        return Io::Done;
    }
    return result(r);
}

}  // namespace smdgw::nut
