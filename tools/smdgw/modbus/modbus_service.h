#pragma once
// smdgw --modbus-listen: the Modbus TCP server on a thread of its own. Each
// configured device is a unit (modbus_units.h); what a client reads is the
// device state snapshot through the one reader of shown values and the
// battery estimate, never the line's thread. Not a byte of a request goes to
// the plant: the server is read-only and the serial line is the driver's.

#include <json/value.h>

#include <array>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/smdgw/core/service.h"
#include "tools/smdgw/modbus/modbus_counters.h"
#include "tools/smdgw/modbus/modbus_options.h"
#include "tools/smdgw/modbus/modbus_server.h"
#include "tools/smdgw/modbus/modbus_units.h"

namespace smdgw::modbus {

class ModbusService : public Service, private UnitReader {
   public:
    ModbusService(const ModbusOptions& options, const ServiceContext& ctx,
                  std::vector<Unit> units);
    ~ModbusService();
    ModbusService(const ModbusService&) = delete;
    ModbusService& operator=(const ModbusService&) = delete;

    // Binds; false with the reason said.
    bool bind();
    bool start() override;
    void stop() override;
    std::optional<Json::Value> stats() const override;
    std::string prometheus_text() const override;
    // "127.0.0.1:1502" as bound.
    const std::string& listening() const { return listening_; }

   private:
    bool known(uint8_t unit) const override { return unit_index_[unit] >= 0; }
    bool read(uint8_t unit, uint16_t* registers, uint8_t* bits) const override;

    const ModbusOptions options_;
    const DeviceStates& states_;
    const BatteryMonitor& battery_;
    const std::vector<Unit> units_;
    std::array<int, 256> unit_index_;  // unit id -> units_, -1 for none
    ModbusCounters counters_;
    ModbusServer server_;
    std::string listening_;
    std::thread thread_;
};

// --modbus-listen: the service, bound; none without --modbus-listen; a usage
// error for a device without a unit id or two on one, a failure for an
// address that cannot be bound.
OpenedService open_modbus_service(const ModbusOptions& options, const ServiceContext& ctx);

}  // namespace smdgw::modbus
