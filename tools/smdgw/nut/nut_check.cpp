#include "tools/smdgw/nut/nut_check.h"

#include "tools/smdgw/core/exit_status.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/utf8_text.h"
#include "tools/smdgw/nut/nut_service.h"

namespace smdgw::nut {

int check_nut(const NutOptions& o, const std::string& config_path, std::FILE* out) {
    GatewayConfig cfg;
    try {
        cfg = load_config(config_path);
    } catch (const ConfigError&) {
        return kExitUsage;  // said by the configuration's own check
    }
    std::string names;
    int status = kExitOk;
    for (const DeviceConfig& d : cfg.devices) {
        if (!ups_name_ok(d.name)) {
            log_error("--nut-listen: device " + quoted(d.name) +
                      " cannot be a UPS name (1 to 64 letters, digits, '-', '_' or '.')");
            status = kExitUsage;
        }
        names += (names.empty() ? "" : ", ") + d.name + "@" + o.address;
    }
    const bool v6 = o.address.find(':') != std::string::npos;
    const std::string where =
        (v6 ? "[" + o.address + "]" : o.address) + ":" + std::to_string(o.port);
    const std::string login = o.user ? "LOGIN as " + quoted(o.user->username) + " (" +
                                           o.users_path + ")"
                                     : "no LOGIN (no --nut-users)";
    const std::string tls = o.tls_cert.empty() ? "" : "; STARTTLS with " + o.tls_cert;
    std::fprintf(out, "nut: NUT server on %s: %s; %s%s; at most %u connections, %u per address, "
                      "idle %u s\n",
                 where.c_str(), names.c_str(), login.c_str(), tls.c_str(), o.max_connections,
                 o.max_per_client, o.idle_timeout_s);
    std::fflush(out);
    return status;
}

}  // namespace smdgw::nut
