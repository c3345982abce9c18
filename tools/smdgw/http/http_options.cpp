#include "tools/smdgw/http/http_options.h"

#include <CLI/CLI.hpp>
#include <cctype>

#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/control_token.h"
#include "tools/smdgw/core/private_key_file.h"
#include "tools/smdgw/core/secret_file.h"
#include "tools/smdgw/http/http_server.h"

namespace smdgw::http {

namespace {

// A DNS name as a Host header gives it: no port, no blanks.
bool host_name_ok(const std::string& name) {
    if (name.empty() || name.size() > 253) return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') return false;
    return true;
}

}  // namespace

void add_http_options(CLI::App& app, HttpCommandLine& o) {
    auto* http = app.add_option("--http", o.listen,
                                "Serve the HTTP API, /metrics, an event stream and a status "
                                "page on ADDR:PORT (e.g. 127.0.0.1:9418; port 0: any free)")
                     ->type_name("ADDR:PORT");
    app.add_option("--http-control-token", o.token_path,
                   "Open POST .../control to requests carrying the secret in FILE as a bearer "
                   "token (mode 0600, or 0640 with the service's group)")
        ->needs(http)
        ->type_name("FILE");
    app.add_option("--http-ack-token", o.ack_token_path,
                   "Open POST .../alarms/{id}/ack and .../unack to requests carrying the secret "
                   "in FILE as a bearer token (the control token is taken there too)")
        ->needs(http)
        ->type_name("FILE");
    app.add_option("--http-max-streams", o.max_streams,
                   "Event streams served at once; more are refused with 503")
        ->check(CLI::Range(1, 64))
        ->needs(http)
        ->type_name("N")
        ->capture_default_str();
    app.add_option("--http-query-deadline-s", o.query_deadline_s,
                   "Seconds a history or alarm-log query may take from its arrival before it "
                   "is cancelled with 503 (more on a slow SD card)")
        ->check(CLI::Range(1, 300))
        ->needs(http)
        ->type_name("N")
        ->capture_default_str();
    app.add_option("--http-stream-max-s", o.stream_max_s,
                   "Seconds an event stream lives before the gateway ends it (a browser "
                   "reconnects by itself)")
        ->check(CLI::Range(1, 86400))
        ->needs(http)
        ->type_name("N")
        ->capture_default_str();
    app.add_option("--http-max-connections", o.max_connections,
                   "Connections served at once; more are answered 503 and closed")
        ->check(CLI::Range(1, 4096))
        ->needs(http)
        ->type_name("N")
        ->capture_default_str();
    app.add_option("--http-max-per-client", o.max_per_client,
                   "Connections served at once from one client address; more are answered 503 "
                   "and closed")
        ->check(CLI::Range(1, 4096))
        ->needs(http)
        ->type_name("N")
        ->capture_default_str();
    app.add_option("--http-host", o.host_names,
                   "A name this gateway answers to in the Host header, besides IP addresses and "
                   "localhost (repeatable; others get 421)")
        ->needs(http)
        ->type_name("NAME");
    auto* cert = app.add_option("--http-tls-cert", o.tls_cert,
                                "Serve HTTPS with this PEM certificate (chain)")
                     ->needs(http)
                     ->type_name("FILE");
    auto* key = app.add_option("--http-tls-key", o.tls_key,
                               "The PEM private key of --http-tls-cert (readable by its owner "
                               "and group only)")
                    ->needs(http)
                    ->type_name("FILE");
    cert->needs(key);
    key->needs(cert);
    app.add_flag("--http-allow-cleartext-token", o.allow_cleartext_token,
                 "Accept --http-control-token on an address beyond this machine without TLS "
                 "(the secret then crosses the network readable)")
        ->needs(http);
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
        log_error("--http-control-token " + error);
        return false;
    }
    if (!ack_token_path.empty() &&
        !load_control_secret(ack_token_path, service.ack_secret, error)) {
        log_error("--http-ack-token " + error);
        return false;
    }
    // A bare name is a credential systemd handed over.
    tls_key = secret_path(tls_key);
    if (!tls_key.empty() && !check_private_key_file("--http-tls-key", tls_key, error)) {
        log_error(error);
        return false;
    }
    if (!tls_cert.empty() && !check_tls_files(tls_cert, tls_key, error)) {
        log_error(error);
        return false;
    }
    for (const std::string& name : host_names) {
        if (!host_name_ok(name)) {
            log_error("--http-host \"" + name +
                      "\" is not a host name (letters, digits, '-' and '.', without a port)");
            return false;
        }
    }
    // Loopback is the default stance; any other address is the user's choice,
    // said once so it is never a surprise.
    const bool loopback =
        host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
    const bool tls = !tls_cert.empty();
    if (!loopback && (!token_path.empty() || !ack_token_path.empty()) && !tls &&
        !allow_cleartext_token) {
        log_error("--http " + listen +
                  " listens beyond this machine without TLS: the control token would cross the "
                  "network in clear text; give --http-tls-cert and --http-tls-key, or "
                  "--http-allow-cleartext-token if the network is trusted");
        return false;
    }
    if (!loopback)
        log_warning("--http " + listen + " listens beyond this machine" +
                    (token_path.empty() ? std::string()
                     : tls           ? "; control requests with the token are accepted there"
                                     : "; control requests with the token are accepted there, "
                                       "and the token crosses the network in clear text"));
    service.listen = listen;
    service.max_streams = max_streams;
    service.stream_max_s = stream_max_s;
    service.query_deadline_s = query_deadline_s;
    service.max_connections = max_connections;
    service.max_per_client = max_per_client;
    service.host_names = host_names;
    service.tls_cert = tls_cert;
    service.tls_key = tls_key;
    return true;
}

}  // namespace smdgw::http
