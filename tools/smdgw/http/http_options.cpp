#include "tools/smdgw/http/http_options.h"

#include <CLI/CLI.hpp>

#include "tools/smdgw/core/log.h"
#include "tools/smdgw/http/control_token.h"

namespace smdgw::http {

void add_http_options(CLI::App& app, HttpCommandLine& o) {
    auto* http = app.add_option("--http", o.listen,
                                "Serve the HTTP API, /metrics, an event stream and a status "
                                "page on ADDR:PORT (e.g. 127.0.0.1:9418; port 0: any free)")
                     ->type_name("ADDR:PORT");
    app.add_option("--http-control-token", o.token_path,
                   "Open POST .../control to requests carrying the secret in FILE as a bearer "
                   "token (the file must be readable by its owner only)")
        ->needs(http)
        ->type_name("FILE");
    app.add_option("--http-max-streams", o.max_streams,
                   "Event streams served at once; more are refused with 503")
        ->check(CLI::Range(1, 64))
        ->needs(http)
        ->type_name("N")
        ->capture_default_str();
}

bool HttpCommandLine::check() {
    if (!enabled()) return true;
    std::string host, error;
    int port = 0;
    if (!parse_listen(listen, host, port, error)) {
        log_error(error);
        return false;
    }
    if (!token_path.empty() && !load_control_secret(token_path, service.control_secret, error)) {
        log_error(error);
        return false;
    }
    // Loopback is the default stance; any other address is the user's choice,
    // said once so it is never a surprise.
    const bool loopback =
        host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
    if (!loopback)
        log_warning("--http " + listen + " listens beyond this machine" +
                    (token_path.empty() ? std::string()
                                        : "; control requests with the token are accepted there"));
    service.listen = listen;
    service.max_streams = max_streams;
    return true;
}

}  // namespace smdgw::http
