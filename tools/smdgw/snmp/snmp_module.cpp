#include "tools/smdgw/snmp/snmp_module.h"

#include <iostream>

#include "tools/smdgw/snmp/mib_module.h"
#include "tools/smdgw/snmp/snmp_check.h"
#include "tools/smdgw/snmp/snmp_options.h"
#include "tools/smdgw/snmp/snmp_service.h"

namespace smdgw::snmp {

namespace {

class SnmpModule final : public ServiceModule {
   public:
    void add_options(CLI::App& app) override { add_snmp_options(app, options_); }
    // --snmp-mib: the MIB module for the managers, under --snmp-root.
    bool runs_alone() const override { return options_.print_mib; }
    int run_alone() override {
        if (!options_.check_root_option()) return kExitUsage;
        std::cout << mib_text(options_.root);
        std::cout.flush();
        return std::cout ? kExitOk : kExitFailure;
    }
    bool check(const GatewayOptions& gateway) override {
        return options_.check(gateway.history_path);
    }
    // snmpd's side needs no configuration file: checked whatever it says.
    int check_config(const GatewayOptions&, bool, std::FILE* out) override {
        return options_.enabled() ? check_snmp(options_, out) : kExitOk;
    }
    OpenedService open(const ServiceContext& context) override {
        return open_snmp_service(options_, context);
    }

   private:
    SnmpOptions options_;
};

}  // namespace

std::unique_ptr<ServiceModule> service_module() { return std::make_unique<SnmpModule>(); }

}  // namespace smdgw::snmp
