#pragma once
// The secret that opens the control endpoint: read once at start from a file
// only its owner may read, compared with the request's bearer token in time
// that does not depend on where the two differ.

#include <string>

namespace smdgw {

// A secret shorter than this is refused: it could be guessed.
constexpr size_t kMinSecretBytes = 16;

// Reads the secret (the file's first line, without surrounding blanks). False
// with a message naming the file ("PATH: ...") when it cannot be read, is empty
// or too short, or when secret_file.h's rule refuses it; the caller puts its own
// option or key before it.
bool load_control_secret(const std::string& path, std::string& secret, std::string& error);

// The secret of an "Authorization: Bearer <secret>" header value; empty when
// the header is not of that form.
std::string bearer_token(const std::string& header);

// Equal texts; the time taken depends only on the lengths.
bool same_secret(const std::string& a, const std::string& b);

}  // namespace smdgw
