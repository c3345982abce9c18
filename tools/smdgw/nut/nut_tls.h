#pragma once
// STARTTLS of the NUT protocol with OpenSSL: the server's context from
// --nut-tls-cert and --nut-tls-key, and one connection's TLS over its
// non-blocking socket once it asked for it. The poll loop drives it: each
// call says whether it is done or waits to read or to write.

#include <openssl/ssl.h>

#include <cstddef>
#include <memory>
#include <string>

namespace smdgw::nut {

using TlsContext = std::shared_ptr<SSL_CTX>;

// TLS 1.2 or later with the PEM chain and key; null with error naming the
// file that is wrong.
TlsContext nut_tls_context(const std::string& cert, const std::string& key, std::string& error);

class TlsLink {
   public:
    enum class Io { Done, WantRead, WantWrite, Closed, Failed };

    TlsLink(const TlsContext& ctx, int fd);
    ~TlsLink();
    TlsLink(const TlsLink&) = delete;
    TlsLink& operator=(const TlsLink&) = delete;

    bool ok() const { return ssl_ != nullptr; }
    Io handshake();
    // got: the bytes read, when Done.
    Io read(char* buf, size_t cap, size_t& got);
    // sent: the bytes taken, when Done.
    Io write(const char* data, size_t n, size_t& sent);
    // Bytes already decrypted that poll cannot see.
    bool pending() const { return ssl_ && SSL_pending(ssl_) > 0; }

   private:
    Io result(int ret);

    SSL* ssl_ = nullptr;
};

}  // namespace smdgw::nut
