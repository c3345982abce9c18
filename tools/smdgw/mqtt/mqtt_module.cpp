#include "tools/smdgw/mqtt/mqtt_module.h"

#include "tools/smdgw/mqtt/mqtt_options.h"
#include "tools/smdgw/mqtt/mqtt_service.h"

namespace smdgw::mqtt {

namespace {

class MqttModule final : public ServiceModule {
   public:
    void add_options(CLI::App& app) override { add_mqtt_options(app, options_); }
    bool check(const GatewayOptions& gateway) override {
        options_.gateway_id = gateway.gateway_id;
        return options_.check(gateway.history_path);
    }
    OpenedService open(const ServiceContext& context) override {
        return open_mqtt_service(options_, context);
    }

   private:
    MqttOptions options_;
};

}  // namespace

std::unique_ptr<ServiceModule> service_module() { return std::make_unique<MqttModule>(); }

}  // namespace smdgw::mqtt
