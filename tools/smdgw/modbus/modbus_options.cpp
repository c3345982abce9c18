#include "tools/smdgw/modbus/modbus_options.h"

#include <CLI/CLI.hpp>

#include "tools/smdgw/core/listen_address.h"
#include "tools/smdgw/core/log.h"

namespace smdgw::modbus {

bool ModbusOptions::check() {
    if (listen_option && listen_option->count() > 0) given = true;
    if (!enabled()) return true;
    std::string error;
    if (!parse_listen_address({"--modbus-listen", kDefaultAddress, kDefaultPort}, listen, address,
                              port, error))
        return usage_error(error);
    return true;
}

void add_modbus_options(CLI::App& app, ModbusOptions& o) {
    auto* listen =
        app.add_option("--modbus-listen", o.listen,
                       "Serve the devices read-only over Modbus TCP (building management, "
                       "SCADA), one unit id per device, on ADDR:PORT (default 127.0.0.1:502, "
                       "which needs privileges; 1502 does not; port 0 any free one)")
            ->expected(0, 1)
            ->type_name("[ADDR:PORT]");
    o.listen_option = listen;
    app.add_option("--modbus-max-connections", o.max_connections,
                   "Modbus TCP connections served at once; more are closed at once")
        ->check(CLI::Range(1, 4096))
        ->needs(listen)
        ->type_name("N")
        ->capture_default_str();
    app.add_option("--modbus-max-per-client", o.max_per_client,
                   "Modbus TCP connections served at once from one client address")
        ->check(CLI::Range(1, 4096))
        ->needs(listen)
        ->type_name("N")
        ->capture_default_str();
    app.add_option("--modbus-idle-timeout", o.idle_timeout_s,
                   "Close a Modbus TCP connection silent for SECONDS (above the master's poll "
                   "interval)")
        ->check(CLI::Range(1, 86400))
        ->needs(listen)
        ->type_name("SECONDS")
        ->capture_default_str();
}

}  // namespace smdgw::modbus
