#include "tools/smdgw/modbus/modbus_service.h"

#include <pthread.h>

#include "tools/smdgw/core/listen_address.h"
#include "tools/smdgw/core/log.h"

namespace smdgw::modbus {

namespace {

std::string units_text(const std::vector<Unit>& units) {
    std::string t;
    for (const Unit& u : units)
        t += (t.empty() ? "" : ", ") + u.device + " as unit " + std::to_string(u.id) +
             (u.order == WordOrder::Little ? " (low word first)" : "");
    return t;
}

}  // namespace

ModbusService::ModbusService(const ModbusOptions& options, const ServiceContext& ctx,
                             std::vector<Unit> units)
    : options_(options),
      states_(ctx.states),
      battery_(ctx.battery),
      units_(std::move(units)),
      server_(*this, counters_,
              ServerLimits{options.max_connections, options.max_per_client,
                           static_cast<double>(options.idle_timeout_s)}) {
    unit_index_.fill(-1);
    for (size_t i = 0; i < units_.size(); ++i) unit_index_[units_[i].id] = static_cast<int>(i);
}

ModbusService::~ModbusService() { stop(); }

bool ModbusService::bind() {
    std::string error;
    if (!server_.bind(options_.address, options_.port, error)) {
        log_error(error + (options_.port < 1024 ? " (a port below 1024 needs privileges: "
                                                  "take 1502, or see docs/modbus.md)"
                                                : ""));
        return false;
    }
    listening_ = listen_text(options_.address, server_.port());
    log_info("modbus: serving " + units_text(units_) + " on " + listening_);
    return true;
}

bool ModbusService::start() {
    if (thread_.joinable()) return true;
    thread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "smdgw-modbus");
        server_.run();
    });
    return true;
}

void ModbusService::stop() {
    if (!thread_.joinable()) return;
    server_.stop();
    thread_.join();
}

bool ModbusService::read(uint8_t unit, uint16_t* registers, uint8_t* bits) const {
    const int at = unit_index_[unit];
    if (at < 0) return false;
    const Unit& u = units_[static_cast<size_t>(at)];
    // Taken before the snapshot's lock, which is held no longer than the fill.
    const std::optional<BatteryView> battery = battery_.battery(u.device);
    bool live = false;
    states_.read(u.device, [&](const DeviceState& d) {
        if (d.data_state != DataState::Live) return;
        const UnitView view{d, battery, u.order};
        fill_registers(view, registers);
        fill_bits(view, bits);
        live = true;
    });
    return live;
}

std::optional<Json::Value> ModbusService::stats() const {
    return modbus_stats_line(counters_, listening_);
}

std::string ModbusService::prometheus_text() const { return modbus_prometheus_text(counters_); }

OpenedService open_modbus_service(const ModbusOptions& o, const ServiceContext& ctx) {
    OpenedService opened;
    if (!o.enabled()) return opened;
    std::vector<Unit> units;
    std::vector<std::string> errors;
    if (!modbus_units(ctx.cfg, units, errors)) {
        for (const std::string& e : errors) log_error(e);
        opened.status = kExitUsage;
        return opened;
    }
    auto service = std::make_unique<ModbusService>(o, ctx, std::move(units));
    // Not serving is not a usage error: another server may hold the port for now.
    if (!service->bind()) {
        opened.status = kExitFailure;
        return opened;
    }
    opened.service = std::move(service);
    return opened;
}

}  // namespace smdgw::modbus
