#pragma once
// smdgw's --http options: what they set and how they are checked.

#include <string>

#include "tools/smdgw/http/http_service.h"

// CLI11 is heavy to compile: only the files that add options include it.
namespace CLI {
class App;
}  // namespace CLI

namespace smdgw::http {

struct HttpCommandLine {
    std::string listen;      // --http ADDR:PORT; empty: no HTTP service
    std::string token_path;  // --http-control-token FILE
    size_t max_streams = kDefaultMaxStreams;

    // Filled by check(): the service's options with the secret read.
    HttpOptions service;

    bool enabled() const { return !listen.empty(); }
    // False with a message on standard error when the address does not parse
    // or the token file is refused.
    bool check();
};

void add_http_options(CLI::App& app, HttpCommandLine& options);

}  // namespace smdgw::http
