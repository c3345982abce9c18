#pragma once
// A TLS private key file (--http-tls-key, --nut-tls-key), held to the rule
// of every secret file (secret_file.h): one that others may read is no
// longer private, and is refused.

#include <string>

namespace smdgw {

// False with error naming the option and the file when the key cannot be
// found or the secret-file rule refuses it.
bool check_private_key_file(const std::string& option, const std::string& path,
                            std::string& error);

}  // namespace smdgw
