#include "tools/smdgw/notify/hmac_signature.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace smdgw::notify {

std::string hmac_sha256_hex(const std::string& secret, const std::string& body) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
              reinterpret_cast<const unsigned char*>(body.data()), body.size(), mac, &len))
        return {};
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; ++i) {
        out += kHex[mac[i] >> 4];
        out += kHex[mac[i] & 15];
    }
    return out;
}

}  // namespace smdgw::notify
