#include "tools/smdgw/http/http_module.h"

#include "tools/smdgw/http/gateway_http.h"
#include "tools/smdgw/http/http_options.h"

namespace smdgw::http {

namespace {

class HttpModule final : public ServiceModule {
   public:
    void add_options(CLI::App& app) override { add_http_options(app, options_); }
    bool check(const GatewayOptions& gateway) override {
        if (!options_.check()) return false;
        options_.service.history_path = gateway.history_path;
        return true;
    }
    OpenedService open(const ServiceContext& context) override {
        OpenedService opened;
        if (!options_.enabled()) return opened;
        HttpOptions o = options_.service;
        o.version = context.version;
        o.service_metrics = context.metrics;
        o.battery_json = [&battery = context.battery](const std::string& device) {
            return battery.json(device);
        };
        opened.service =
            std::make_unique<GatewayHttp>(o, context.clock, context.input, context.states);
        return opened;
    }

   private:
    HttpCommandLine options_;
};

}  // namespace

std::unique_ptr<ServiceModule> service_module() { return std::make_unique<HttpModule>(); }

}  // namespace smdgw::http
