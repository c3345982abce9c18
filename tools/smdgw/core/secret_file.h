#pragma once
// The one rule for every file that holds a secret (a control token, a private
// key, a login): a regular file that others may neither read nor change, and
// that its group may not change. Reading by the group is allowed, so that a
// key owned by root:smdgw with mode 0640 serves the service's own user.

#include <sys/types.h>

#include <string>

namespace smdgw {

// "" when a file of this mode may hold a secret, else why not and the chmod
// that mends it.
std::string secret_mode_problem(mode_t mode);

// The same for the file at path, following links as opening it would:
// "" when fit, else why not (the path not repeated).
std::string secret_file_problem(const std::string& path);

// Where a secret option's file is: a bare name (no '/') is a credential
// systemd handed the service (LoadCredential=NAME:/etc/smdgw/NAME), found in
// $CREDENTIALS_DIRECTORY when that is set; any other path is itself.
std::string secret_path(const std::string& path);

}  // namespace smdgw
