#include "tools/smdgw/nut/nut_module.h"

#include "tools/smdgw/nut/nut_check.h"
#include "tools/smdgw/nut/nut_options.h"
#include "tools/smdgw/nut/nut_service.h"

namespace smdgw::nut {

namespace {

class NutModule final : public ServiceModule {
   public:
    void add_options(CLI::App& app) override { add_nut_options(app, options_); }
    bool check(const GatewayOptions& gateway) override {
        options_.gateway_id = gateway.gateway_id;
        return options_.check();
    }
    int check_config(const GatewayOptions& gateway, bool config_ok, std::FILE* out) override {
        return options_.enabled() && config_ok ? check_nut(options_, gateway.config_path, out)
                                               : kExitOk;
    }
    OpenedService open(const ServiceContext& context) override {
        return open_nut_service(options_, context);
    }

   private:
    NutOptions options_;
};

}  // namespace

std::unique_ptr<ServiceModule> service_module() { return std::make_unique<NutModule>(); }

}  // namespace smdgw::nut
