#pragma once
// The address a network service listens on, as its option gives it: ""
// (the default), "ADDR", "ADDR:PORT", "[IPv6]", "[IPv6]:PORT" or ":PORT";
// port 0 takes any free one. Every listening service (NUT, Modbus TCP)
// reads its option here, so they take the same forms and say the same
// errors.

#include <string>

namespace smdgw {

struct ListenDefaults {
    const char* option;   // "--nut-listen", for the error
    const char* address;  // numeric, taken when none is given
    int port;             // taken when none is given
};

// text into a numeric address and a port; false with error naming the
// option and the text.
bool parse_listen_address(const ListenDefaults& defaults, const std::string& text,
                          std::string& address, int& port, std::string& error);

// "127.0.0.1:502" or "[::1]:502".
std::string listen_text(const std::string& address, int port);

}  // namespace smdgw
