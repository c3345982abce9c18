#include "tools/smdgw/notify/notify_module.h"

#include <chrono>
#include <utility>

#include "tools/smdgw/notify/notify_check.h"
#include "tools/smdgw/notify/notify_options.h"
#include "tools/smdgw/notify/notify_service.h"
#include "tools/smdgw/notify/test_notify.h"

namespace smdgw::notify {

namespace {

class NotifyModule final : public ServiceModule {
   public:
    void add_options(CLI::App& app) override { add_notify_options(app, options_); }
    bool check(const GatewayOptions& gateway) override {
        return options_.check(gateway.history_path, gateway.gateway_id);
    }
    // Its targets are in the configuration file: nothing to add to a file
    // that does not load.
    int check_config(const GatewayOptions& gateway, bool config_ok, std::FILE* out) override {
        return config_ok ? check_notify(gateway.config_path, options_, out) : kExitOk;
    }
    // The "notify" object; --test-notify sends one message there and ends.
    std::optional<int> read_config(const GatewayConfig& cfg) override {
        if (!load_notify(cfg, config_)) return kExitUsage;
        if (!options_.test_target.empty())
            return test_notify(config_, options_,
                               std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
        return std::nullopt;
    }
    OpenedService open(const ServiceContext& context) override {
        return open_notify_service(options_, std::move(config_), context);
    }

   private:
    NotifyOptions options_;
    NotifyConfig config_;
};

}  // namespace

std::unique_ptr<ServiceModule> service_module() { return std::make_unique<NotifyModule>(); }

}  // namespace smdgw::notify
