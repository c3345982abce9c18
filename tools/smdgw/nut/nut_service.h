#pragma once
// smdgw --nut-listen: the NUT network server on a thread of its own. Each
// configured device is a UPS of its name; what a client reads is the device
// state snapshot through the one reader of shown values and the battery
// estimate, never the line's thread. The server never writes to the plant.

#include <json/value.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/smdgw/core/battery_config.h"
#include "tools/smdgw/core/service.h"
#include "tools/smdgw/core/ups_identity.h"
#include "tools/smdgw/nut/nut_counters.h"
#include "tools/smdgw/nut/nut_options.h"
#include "tools/smdgw/nut/nut_server.h"
#include "tools/smdgw/nut/nut_session.h"

namespace smdgw::nut {

// Whether a device name can be a UPS name: it travels as one bare word.
bool ups_name_ok(const std::string& name);

class NutService : public Service, private UpsDirectory {
   public:
    // Binds at once, so that a taken address stops the start; nothing is
    // served until start().
    // tls: STARTTLS's context, null when not offered.
    NutService(const NutOptions& options, const ServiceContext& ctx, TlsContext tls = nullptr);
    ~NutService();
    NutService(const NutService&) = delete;
    NutService& operator=(const NutService&) = delete;

    // Binds; false with the reason said.
    bool bind();
    bool start() override;
    void stop() override;
    std::optional<Json::Value> stats() const override;
    std::string prometheus_text() const override;
    // "127.0.0.1:3493" as bound.
    const std::string& listening() const { return listening_; }

   private:
    struct Device {
        UpsIdentity identity;
        std::string serial;
        std::optional<BatteryConfig> battery;
    };
    const std::vector<Ups>& list() const override { return upses_; }
    std::optional<UpsReading> read(const std::string& name) const override;

    const NutOptions options_;
    const DeviceStates& states_;
    const BatteryMonitor& battery_;
    std::vector<Ups> upses_;
    std::map<std::string, Device> devices_;
    NutCounters counters_;
    LoginBook logins_;
    SessionShared shared_;
    NutServer server_;
    std::string listening_;
    std::thread thread_;
};

// --nut-listen: the service, bound; none without --nut-listen; a usage error
// for a device name that cannot be a UPS name, a failure for an address
// that cannot be bound.
OpenedService open_nut_service(const NutOptions& options, const ServiceContext& ctx);

}  // namespace smdgw::nut
