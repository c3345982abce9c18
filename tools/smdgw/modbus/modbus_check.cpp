#include "tools/smdgw/modbus/modbus_check.h"

#include "tools/smdgw/core/exit_status.h"
#include "tools/smdgw/core/listen_address.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/modbus/modbus_units.h"

namespace smdgw::modbus {

int check_modbus(const ModbusOptions& o, const std::string& config_path, std::FILE* out) {
    GatewayConfig cfg;
    try {
        cfg = load_config(config_path);
    } catch (const ConfigError&) {
        return kExitUsage;  // said by the configuration's own check
    }
    std::vector<Unit> units;
    std::vector<std::string> errors;
    const bool ok = modbus_units(cfg, units, errors);
    for (const std::string& e : errors) log_error(e);
    std::string list;
    for (const Unit& u : units)
        list += (list.empty() ? "" : ", ") + u.device + " unit " + std::to_string(u.id);
    std::fprintf(out,
                 "modbus: Modbus TCP server on %s: %s; at most %u connections, %u per address, "
                 "idle %u s\n",
                 listen_text(o.address, o.port).c_str(), list.c_str(), o.max_connections,
                 o.max_per_client, o.idle_timeout_s);
    std::fflush(out);
    return ok ? kExitOk : kExitUsage;
}

}  // namespace smdgw::modbus
