#include "tools/smdgw/modbus/modbus_module.h"

#include "tools/smdgw/modbus/modbus_check.h"
#include "tools/smdgw/modbus/modbus_options.h"
#include "tools/smdgw/modbus/modbus_service.h"

namespace smdgw::modbus {

namespace {

class ModbusModule final : public ServiceModule {
   public:
    void add_options(CLI::App& app) override { add_modbus_options(app, options_); }
    bool check(const GatewayOptions&) override { return options_.check(); }
    int check_config(const GatewayOptions& gateway, bool config_ok, std::FILE* out) override {
        return options_.enabled() && config_ok
                   ? check_modbus(options_, gateway.config_path, out)
                   : kExitOk;
    }
    OpenedService open(const ServiceContext& context) override {
        return open_modbus_service(options_, context);
    }

   private:
    ModbusOptions options_;
};

}  // namespace

std::unique_ptr<ServiceModule> service_module() { return std::make_unique<ModbusModule>(); }

}  // namespace smdgw::modbus
