#pragma once
// The webhook's signature: HMAC-SHA256 of the body with the target's secret,
// as lowercase hex. A receiver recomputes it over the bytes it got:
//   X-Smdgw-Signature: sha256=5d5d1396...
//   python3: hmac.new(secret, body, hashlib.sha256).hexdigest()

#include <string>

namespace smdgw::notify {

std::string hmac_sha256_hex(const std::string& secret, const std::string& body);

}  // namespace smdgw::notify
