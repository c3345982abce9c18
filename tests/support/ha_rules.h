#pragma once
// What Home Assistant accepts in an MQTT discovery configuration, as its
// documentation of sensor and binary sensor device classes lists it: the
// units each sensor device class takes, and the binary sensor classes. The
// tests hold the gateway's configurations against these, not against its
// own table.

#include <map>
#include <set>
#include <string>

namespace testsupport {

inline const std::map<std::string, std::set<std::string>>& ha_sensor_units() {
    static const std::map<std::string, std::set<std::string>> units = {
        {"voltage", {"V", "mV", "µV", "kV", "MV"}},
        {"current", {"A", "mA"}},
        {"frequency", {"Hz", "kHz", "MHz", "GHz"}},
        {"power", {"W", "kW", "MW", "GW", "TW", "mW", "BTU/h"}},
        {"battery", {"%"}},
        {"duration", {"d", "h", "min", "s", "ms"}},
        {"temperature", {"°C", "°F", "K"}},
    };
    return units;
}

inline const std::set<std::string>& ha_binary_classes() {
    static const std::set<std::string> classes = {
        "battery", "battery_charging", "connectivity", "plug", "power", "problem",
        "running", "safety"};
    return classes;
}

}  // namespace testsupport
