#pragma once
// A login kept in a file of its own (--mqtt-auth, a mail target's
// "auth_file"): the user name on the first line, the password on the second.

#include <string>

namespace smdgw {

struct Credentials {
    std::string username;
    std::string password;
};

// Reads the two lines (user name, password) of a credentials file. Refused
// when others may read it, when it is not a regular file or holds more than
// two short lines. Never puts the password into `error`.
bool read_credentials_file(const std::string& path, Credentials& out, std::string& error);

}  // namespace smdgw
