#pragma once
// smdgw's --nut-* options: where the NUT server listens, the login its
// clients may use, and its bounds. Checked before anything runs.

#include <optional>
#include <string>

#include "tools/smdgw/core/credentials_file.h"
#include "tools/smdgw/nut/nut_limits.h"

// CLI11 is heavy to compile: only the files that add options include it.
namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace smdgw::nut {

// IANA's port of the NUT network protocol.
constexpr int kDefaultPort = 3493;
// Loopback unless an address is given: the plant's state is the site's business.
constexpr const char* kDefaultAddress = "127.0.0.1";

// "--nut-listen" text into a numeric address and a port: "" (the default),
// "ADDR", "ADDR:PORT", "[IPv6]", "[IPv6]:PORT" or ":PORT"; port 0 takes any
// free one. False with error naming the text.
bool parse_nut_listen(const std::string& text, std::string& address, int& port,
                      std::string& error);

struct NutOptions {
    bool given = false;      // --nut-listen given
    std::string listen;      // as given
    std::string users_path;  // --nut-users FILE: the login of upsmon
    std::string tls_cert, tls_key;  // --nut-tls-cert, --nut-tls-key: STARTTLS offered
    unsigned max_connections = kDefaultMaxConnections;
    unsigned max_per_client = kDefaultMaxPerClient;
    unsigned idle_timeout_s = kDefaultIdleTimeoutS;
    std::string gateway_id;  // the gateway's --gateway-id, for default serials
    const CLI::Option* listen_option = nullptr;  // set by add_nut_options

    // Filled by check().
    std::string address;
    int port = kDefaultPort;
    std::optional<Credentials> user;  // none: LOGIN is refused

    bool enabled() const { return given; }
    // Parses the address and reads the users file; false with a message on
    // standard error naming the option.
    bool check();
};

void add_nut_options(CLI::App& app, NutOptions& options);

}  // namespace smdgw::nut
