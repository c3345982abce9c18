#pragma once
// A service as smdgw's command line and start know it: the options it adds,
// their checks, its --check-config lines, what it reads of the loaded
// configuration and its opening. Each service folder gives one through
// <name>/<name>_module.h; the table of them is generated from the list in
// tools/smdgw/CMakeLists.txt (service_table.cpp.in), so a new service is a
// folder and a row there.

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/smdgw/core/config.h"
#include "tools/smdgw/core/exit_status.h"
#include "tools/smdgw/core/service.h"

// CLI11 is heavy to compile: only the files that add options include it.
namespace CLI {
class App;
}  // namespace CLI

namespace smdgw {

// What of the gateway's own command line a service may read, checked already.
struct GatewayOptions {
    std::string config_path;
    std::string history_path;  // empty: no --history
    std::string gateway_id;    // --gateway-id, or the host name
};

class ServiceModule {
   public:
    virtual ~ServiceModule() = default;
    // Its options on smdgw's command line.
    virtual void add_options(CLI::App& app) = 0;
    // Whether the command line asks it for a task done instead of running a
    // gateway, without a configuration (--snmp-mib); run_alone() does it and
    // gives the exit status.
    virtual bool runs_alone() const { return false; }
    virtual int run_alone() { return kExitOk; }
    // After parsing: false when its options are wrong (the message said).
    virtual bool check(const GatewayOptions& gateway) = 0;
    // --check-config: its lines on `out`, kExitOk when nothing is wrong.
    // `config_ok` says whether the configuration file itself passed.
    virtual int check_config(const GatewayOptions&, bool /*config_ok*/, std::FILE* /*out*/) {
        return kExitOk;
    }
    // Its part of the loaded configuration, read before any service opens.
    // An exit status ends smdgw there: a fault in it (said already), or the
    // end of a task done on it instead of running (--test-notify).
    virtual std::optional<int> read_config(const GatewayConfig&) { return std::nullopt; }
    // The service, if the command line asked for it.
    virtual OpenedService open(const ServiceContext& context) = 0;
};

using ServiceModules = std::vector<std::unique_ptr<ServiceModule>>;

// Every service of the table, in the order they take events, start, stop
// and give their statistics.
ServiceModules make_service_modules();

}  // namespace smdgw
