#pragma once
// smdgw's --http options: what they set and how they are checked.

#include <string>
#include <vector>

#include "tools/smdgw/http/http_service.h"

// CLI11 is heavy to compile: only the files that add options include it.
namespace CLI {
class App;
}  // namespace CLI

namespace smdgw::http {

struct HttpCommandLine {
    std::string listen;      // --http ADDR:PORT; empty: no HTTP service
    std::string token_path;  // --http-control-token FILE
    std::string ack_token_path;  // --http-ack-token FILE
    size_t max_streams = kDefaultMaxStreams;
    int stream_max_s = kDefaultStreamMaxS;  // --http-stream-max-s
    int query_deadline_s = kQueryDeadlineS;  // --http-query-deadline-s
    size_t max_connections = kDefaultMaxConnections;
    size_t max_per_client = kDefaultMaxPerClient;
    std::vector<std::string> host_names;  // --http-host NAME, repeatable
    std::string tls_cert, tls_key;        // --http-tls-cert, --http-tls-key
    bool allow_cleartext_token = false;   // --http-allow-cleartext-token

    // Filled by check(): the service's options with the secret read.
    HttpOptions service;

    bool enabled() const { return !listen.empty(); }
    // False with a message on standard error when the address does not parse,
    // the token file or the TLS files are refused, or the token would cross
    // the network in clear text.
    bool check();
};

void add_http_options(CLI::App& app, HttpCommandLine& options);

}  // namespace smdgw::http
