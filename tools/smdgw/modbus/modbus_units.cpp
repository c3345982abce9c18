#include "tools/smdgw/modbus/modbus_units.h"

#include <map>

#include "tools/smdgw/core/utf8_text.h"

namespace smdgw::modbus {

bool modbus_units(const GatewayConfig& cfg, std::vector<Unit>& units,
                  std::vector<std::string>& errors) {
    std::map<int, std::string> taken;
    for (const DeviceConfig& d : cfg.devices) {
        // The keys' types and ranges are checked with the configuration.
        const Json::Value& unit = d.entry["modbus_unit"];
        int id = d.address;
        const char* key = "\"address\"";
        if (unit.isUInt()) {
            id = static_cast<int>(unit.asUInt());
            key = "\"modbus_unit\"";
        }
        if (id < kMinUnit || id > kMaxUnit) {
            errors.push_back("--modbus-listen: device " + quoted(d.name) +
                             (id < 0 ? std::string(" has no \"address\"")
                                     : " has " + std::string(key) + " " + std::to_string(id) +
                                           ", not a Modbus unit id") +
                             "; give it \"modbus_unit\" (1 to 247)");
            continue;
        }
        const auto [at, fresh] = taken.emplace(id, d.name);
        if (!fresh) {
            errors.push_back("--modbus-listen: devices " + quoted(at->second) + " and " +
                             quoted(d.name) + " both answer unit id " + std::to_string(id) +
                             "; give one of them another \"modbus_unit\" (1 to 247)");
            continue;
        }
        Unit u;
        u.id = static_cast<uint8_t>(id);
        u.device = d.name;
        u.order = d.entry["modbus_word_order"].asString() == "little" ? WordOrder::Little
                                                                      : WordOrder::Big;
        units.push_back(std::move(u));
    }
    return errors.empty();
}

}  // namespace smdgw::modbus
