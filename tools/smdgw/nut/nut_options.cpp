#include "tools/smdgw/nut/nut_options.h"

#include <CLI/CLI.hpp>

#include "tools/smdgw/core/listen_address.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/private_key_file.h"
#include "tools/smdgw/nut/nut_tls.h"

namespace smdgw::nut {

bool parse_nut_listen(const std::string& text, std::string& address, int& port,
                      std::string& error) {
    return parse_listen_address({"--nut-listen", kDefaultAddress, kDefaultPort}, text, address,
                                port, error);
}

bool NutOptions::check() {
    if (listen_option && listen_option->count() > 0) given = true;
    if (!enabled()) return true;
    std::string error;
    if (!parse_nut_listen(listen, address, port, error)) return usage_error(error);
    if (!users_path.empty()) {
        Credentials c;
        if (!read_credentials_file(users_path, c, error))
            return usage_error("--nut-users " + users_path + ": " + error);
        user = c;
    }
    if (!tls_key.empty() && !check_private_key_file("--nut-tls-key", tls_key, error))
        return usage_error(error);
    if (!tls_cert.empty() && !nut_tls_context(tls_cert, tls_key, error)) return usage_error(error);
    return true;
}

void add_nut_options(CLI::App& app, NutOptions& o) {
    auto* listen =
        app.add_option("--nut-listen", o.listen,
                       "Serve the devices as UPSes over the NUT network protocol (upsc, upsmon, "
                       "Home Assistant, Telegraf) on ADDR:PORT (default 127.0.0.1:3493; an "
                       "address alone takes port 3493, port 0 any free one)")
            ->expected(0, 1)
            ->type_name("[ADDR:PORT]");
    o.listen_option = listen;
    app.add_option("--nut-users", o.users_path,
                   "File with the user name (first line) and password (second line) LOGIN "
                   "accepts, for upsmon; not readable by others (without it LOGIN is refused)")
        ->needs(listen)
        ->type_name("FILE");
    auto* cert = app.add_option("--nut-tls-cert", o.tls_cert,
                                "Offer STARTTLS with this PEM certificate (chain)")
                     ->needs(listen)
                     ->type_name("FILE");
    auto* key = app.add_option("--nut-tls-key", o.tls_key,
                               "The PEM private key of --nut-tls-cert (not readable by others)")
                    ->needs(listen)
                    ->type_name("FILE");
    cert->needs(key);
    key->needs(cert);
    app.add_option("--nut-max-connections", o.max_connections,
                   "NUT connections served at once; more are closed at once")
        ->check(CLI::Range(1, 4096))
        ->needs(listen)
        ->type_name("N")
        ->capture_default_str();
    app.add_option("--nut-max-per-client", o.max_per_client,
                   "NUT connections served at once from one client address")
        ->check(CLI::Range(1, 4096))
        ->needs(listen)
        ->type_name("N")
        ->capture_default_str();
    app.add_option("--nut-idle-timeout", o.idle_timeout_s,
                   "Close a NUT connection silent for SECONDS (above upsmon's POLLFREQ)")
        ->check(CLI::Range(1, 86400))
        ->needs(listen)
        ->type_name("SECONDS")
        ->capture_default_str();
}

}  // namespace smdgw::nut
