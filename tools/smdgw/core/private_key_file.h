#pragma once
// A TLS private key file (--http-tls-key, --nut-tls-key): one that others
// may read is no longer private, and is refused.

#include <string>

namespace smdgw {

// False with error naming the option and the file when the key cannot be
// found or others may read it.
bool check_private_key_file(const std::string& option, const std::string& path,
                            std::string& error);

}  // namespace smdgw
